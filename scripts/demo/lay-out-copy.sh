#!/usr/bin/env bash
# Lays out one installed copy of the Tarn database product, as its installer would, in the
# platform root $TARN_PLATFORM_ROOT:
#   COPY_ROOT/bin/tarnupdserv              the launcher
#   COPY_ROOT/cfg/install/velkupdateutil   the update utility the launcher starts with -display
#   COPY_ROOT/lib, COPY_ROOT/cfg/lib       the platform library beside each program
# records the copy in the registry (scripts/demo/copy.reg.in, imported with tarnreg: install path,
# update-service code, version 9.7.0) and installs the stand-in update agent.
#
# Usage: lay-out-copy.sh BIN_DIR COPY_ROOT [COPY_NAME [CODE]]
#   BIN_DIR     the build's bin directory (velkupdateutil, tarnreg, usagent.reg; ../lib beside it)
#   COPY_ROOT   an absolute path; it may hold blanks
#   COPY_NAME   default TARN01;  CODE  default {5B1E7C42-9A3D-4F60-8E21-7D4C0B9F3A18}
set -euo pipefail
if [[ $# -lt 2 ]]; then
  echo "usage: $0 BIN_DIR COPY_ROOT [COPY_NAME [CODE]]" >&2
  exit 2
fi
bin=$(cd "$1" && pwd)
root=$2
name=${3:-TARN01}
code=${4:-"{5B1E7C42-9A3D-4F60-8E21-7D4C0B9F3A18}"}
here=$(cd "$(dirname "$0")" && pwd)
: "${TARN_PLATFORM_ROOT:?TARN_PLATFORM_ROOT must name the platform root}"
case $root in
  /*) ;;
  *) echo "$0: COPY_ROOT must be an absolute path" >&2; exit 2 ;;
esac

mkdir -p "$root/bin" "$root/lib" "$root/cfg/install" "$root/cfg/lib"
cp "$bin/velkupdateutil" "$root/cfg/install/velkupdateutil"
cp "$bin/velkupdateutil" "$root/bin/tarnupdserv"
cp "$bin/../lib/libtarnplatform.so" "$root/lib/"
cp "$bin/../lib/libtarnplatform.so" "$root/cfg/lib/"

# The registry paths of a .reg file keep the copy root as it is, but a backslash or double quote
# in it would need escaping: refuse such a root rather than record a wrong path.
case $root in
  *\\* | *\"* | *\|* | *\&*) echo "$0: COPY_ROOT must not hold a backslash, double quote, | or &" >&2; exit 2 ;;
esac
reg=$(mktemp "${TMPDIR:-/tmp}/copy-XXXXXX.reg")
trap 'rm -f "$reg"' EXIT
sed -e "s|@COPY_NAME@|$name|g" -e "s|@COPY_ROOT@|$root|g" -e "s|@CODE@|$code|g" \
  "$here/copy.reg.in" > "$reg"
"$bin/tarnreg" import "$reg"
"$bin/tarnreg" import "$bin/usagent.reg"
