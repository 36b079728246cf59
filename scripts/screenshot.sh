#!/usr/bin/env bash
# Takes the README's picture of the window (docs/window.png): the sample
# elevation grid with the 90 degrees clockwise placement pressed, shown on a
# virtual display (Xvfb) and captured with ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target mirava >/dev/null

# The program keeps its names beside itself: a copy keeps them out of build/.
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cp build/mirava build/mirava.html "$work/"

display=":$((100 + RANDOM % 400))"
Xvfb "$display" -screen 0 600x900x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done
DISPLAY=$display QT_QPA_PLATFORM=xcb "$work/mirava" samples/luxembourg.ers \
  out/luxembourg-cw.tif /3 >/dev/null 2>&1 &
pids+=($!)
# The window and its thumbnail are up well within this.
sleep 3
DISPLAY=$display import -window root "$work/screen.png"
mkdir -p docs
convert "$work/screen.png" -trim +repage -strip -colors 64 docs/window.png
echo "docs/window.png: $(identify -format '%wx%h' docs/window.png)," \
  "$(stat -c %s docs/window.png) bytes" >&2
