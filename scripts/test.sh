#!/usr/bin/env bash
# Builds everything and runs every test. CTest's summary is the last thing printed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TARN_BUILD_DIR:-$here/build}
bash "$here/scripts/build.sh" -DTARN_TESTS=ON -DTARN_BENCH=ON "$@"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
