#!/usr/bin/env bash
# stage.sh SETTINGS: installs the board bundle, stripped, into a fresh
# directory ($STAGE); the other checks look at the programs there, as they
# will be copied to the board.
source "$(dirname "$0")/checks.sh" "$1"
rm -rf "$STAGE"
cmake --install "$BINARY_DIR" --prefix "$STAGE" --strip
