#!/usr/bin/env bash
# Builds Mirava and its tests and runs every test; non-zero on any failure.
#   ./test.sh             optimised build in build/
#   ./test.sh --sanitize  the same suite under AddressSanitizer and UBSan, in build-asan/
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
dir=build
flags=(-DCMAKE_BUILD_TYPE=Release)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRAVA_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir"
cd "$dir"
ctest --output-on-failure -j2
