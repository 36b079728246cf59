#!/usr/bin/env bash
# Fuzzes every reader with libFuzzer for the given number of seconds each
# (default 600). Crashes are kept under build-fuzz/crashes/ and make the
# script fail. Usage: ./fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")"
SECONDS_EACH=${1:-600}
shift || true
scripts/install-deps.sh
missing=()
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
fi
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DMIRAVA_FUZZ=ON >/dev/null
cmake --build build-fuzz
# The text files' target, then one per raster format, by the keys of the
# format table.
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(textfiles)
  while read -r key; do targets+=("$key"); done < <(build-fuzz/fuzz_formats)
fi
mkdir -p build-fuzz/crashes
failed=0
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  mkdir -p "$corpus"
  [ -d "tests/fuzz/corpus/$t" ] && cp -n tests/fuzz/corpus/$t/* "$corpus"/ 2>/dev/null || true
  echo "fuzzing $t for ${SECONDS_EACH}s" >&2
  binary=build-fuzz/fuzz_dataset
  [ "$t" = textfiles ] && binary=build-fuzz/fuzz_textfiles
  if ! MIRAVA_FUZZ_FORMAT=$t "$binary" "$corpus" -max_total_time="$SECONDS_EACH" -timeout=10 \
      -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/crashes/$t-" 2> "build-fuzz/$t.log"; then
    echo "FAILED: $t (see build-fuzz/$t.log and build-fuzz/crashes/)" >&2
    tail -30 "build-fuzz/$t.log" >&2
    failed=1
  else
    grep -E 'DONE' "build-fuzz/$t.log" | tail -1 >&2
  fi
done
exit $failed
