#!/usr/bin/env bash
# Times the window's thumbnail of a 1 GiB sparse raster (target: about half
# a second) and counts the cells it reads. Needs a build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
build/mirava_tests --gtest_also_run_disabled_tests \
  --gtest_filter='ThumbnailBench.*' | grep 'thumbnail of'
