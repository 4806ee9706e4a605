#!/usr/bin/env bash
# Configures and builds the tree in ./build (or $TARN_BUILD_DIR). Extra arguments go to cmake.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TARN_BUILD_DIR:-$here/build}
bash "$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
