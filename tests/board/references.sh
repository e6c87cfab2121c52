#!/usr/bin/env bash
# references.sh SETTINGS PRESET TREE TARGET...: builds TARGET... in the build
# tree TREE of configure preset PRESET, configuring it first where it has not
# been. The host build's programs are what the board build's output is
# compared with, and its helpers run programs for the checks.
source "$(dirname "$0")/checks.sh" "$1"
preset=$2 tree=$3
shift 3
if [ ! -f "$tree/CMakeCache.txt" ]; then
  (cd "$SOURCE_DIR" && cmake --preset "$preset")
fi
cmake --build "$tree" --target "$@"
