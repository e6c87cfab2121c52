#!/usr/bin/env bash
# sizes.sh SETTINGS STRIP FLOOR PROGRAM...: the size of each program once
# stripped, next to that of FLOOR (the static hello-world probe).
source "$(dirname "$0")/checks.sh" "$1"
strip=$2
shift 2
dir=$(scratch sizes)
for file in "$@"; do
  "$strip" -o "$dir/$(basename "$file")" "$file"
  printf '%-28s %8d bytes stripped\n' "$(basename "$file")" "$(stat -c %s "$dir/$(basename "$file")")"
done
