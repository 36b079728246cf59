#!/usr/bin/env bash
# Builds Mirava (optimised, into build/: mirava-cli and the window, mirava)
# and, with no arguments, rotates the sample ER Mapper raster 90 degrees
# clockwise into out/. With arguments, passes them to mirava-cli.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target mirava-cli mirava
if (($#)); then
  exec build/mirava-cli "$@"
fi
mkdir -p out
echo "Rotating samples/luxembourg.ers 90 degrees clockwise into out/luxembourg-cw.ers" >&2
build/mirava-cli samples/luxembourg.ers out/luxembourg-cw.ers /3
