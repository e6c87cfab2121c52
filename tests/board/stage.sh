#!/usr/bin/env bash
# stage.sh SETTINGS: makes the board bundle's archive as the package step
# does (CPack, with the same configuration) and unpacks it into a fresh
# directory ($STAGE); the other checks look at the files there, as they
# reach the board.
source "$(dirname "$0")/checks.sh" "$1"
package="$WORK/package"
rm -rf "$STAGE" "$package"
mkdir -p "$package" "$STAGE"
cpack --config "$BINARY_DIR/CPackConfig.cmake" -B "$package" >"$WORK/cpack.log" 2>&1 ||
  fail "cpack failed: $(cat "$WORK/cpack.log")"
archives=("$package"/*.tar.gz)
[ "${#archives[@]}" -eq 1 ] && [ -f "${archives[0]}" ] || fail "cpack made no single archive: ${archives[*]}"
# The archive holds one directory, named after the bundle.
tar -xzf "${archives[0]}" -C "$STAGE" --strip-components=1
echo "unpacked $(basename "${archives[0]}") ($(stat -c %s "${archives[0]}") bytes)"
