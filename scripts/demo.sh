#!/usr/bin/env bash
# The demo machine: builds the tree, lays out a fresh platform root in ./build-demo/demo-root, imports
# the sample machine (a copy of the product with its registry keys) with tarnreg, and prints the
# product's keys back with tarnreg export.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TARN_BUILD_DIR:-$here/build-demo}
TARN_BUILD_DIR=$build bash "$here/scripts/build.sh" -DTARN_TESTS=OFF -DTARN_BENCH=OFF
bin=$build/bin
export TARN_PLATFORM_ROOT=$build/demo-root
rm -rf "$TARN_PLATFORM_ROOT"
mkdir -p "$TARN_PLATFORM_ROOT"
echo "== platform root: $TARN_PLATFORM_ROOT"
"$bin/tarnreg" import "$here/scripts/demo/machine.reg"
echo "== the sample machine's product keys, exported:"
"$bin/tarnreg" export 'HKEY_LOCAL_MACHINE\SOFTWARE\Velk'
