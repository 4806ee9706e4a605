#!/usr/bin/env bash
# The demo machine: builds the tree, lays out a fresh platform root in ./build-demo/demo-root,
# imports the sample machine (a copy of the product with its registry keys) with tarnreg and
# prints the product's keys back, installs the stand-in update agent, runs the update utility
# for a product named on its command line and prints the agent's journal; then lays out a copy of
# the product (its programs and registry keys), runs the copy's launcher tarnupdserv without
# arguments, and prints the journal of what the copy's update utility asked of the agent.
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

echo "== installing the stand-in update agent"
"$bin/tarnreg" import "$bin/usagent.reg"
code='{B0000000-0000-0000-0000-000000000001}'
echo "== velkupdateutil -guid $code -ver 9.7.0 -register -display -ismes -unregister"
"$bin/velkupdateutil" -guid "$code" -ver 9.7.0 -register -display -ismes -unregister
echo "exit status: $?"
echo "== the agent's journal (agent/calls.log):"
cat "$TARN_PLATFORM_ROOT/agent/calls.log"

copy="$TARN_PLATFORM_ROOT/copies/Tarn Copy 01"
rm -f "$TARN_PLATFORM_ROOT/agent/calls.log"
echo "== laying out a demo copy of the product in $copy"
bash "$here/scripts/demo/lay-out-copy.sh" "$bin" "$copy"
echo "== $copy/bin/tarnupdserv (the launcher, no arguments)"
"$copy/bin/tarnupdserv"
echo "exit status: $?"
echo "== the agent's journal (agent/calls.log):"
cat "$TARN_PLATFORM_ROOT/agent/calls.log"
