#!/usr/bin/env bash
# Builds everything and runs every test. CTest's summary is the last thing printed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TARN_BUILD_DIR:-$here/build}
bash "$here/scripts/build.sh" -DTARN_TESTS=ON -DTARN_BENCH=ON "$@"
cd "$build"
# The libraries read the machine's registry when they are loaded; a test that does not make a
# platform root of its own gets one in the build tree rather than the user's ~/.tarn-platform.
export TARN_PLATFORM_ROOT="$build/test-platform-root"
rm -rf "$TARN_PLATFORM_ROOT"
ctest --output-on-failure -j "$(nproc)" --timeout 600
