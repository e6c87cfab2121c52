#!/usr/bin/env bash
# bundle.sh SETTINGS FILE...: the staged bundle holds exactly FILE... (paths
# relative to its root), its programs are executable by everyone, and
# DEPLOY.md has a row for each of them.
source "$(dirname "$0")/checks.sh" "$1"
shift
dir=$(scratch bundle)
printf '%s\n' "$@" | sort > "$dir/expected"
(cd "$STAGE" && find . -type f -o -type l) | sed 's|^\./||' | sort > "$dir/actual"
same_bytes "the list of files in the bundle" "$dir/expected" "$dir/actual"
for file in "$@"; do
  case $file in
    bin/*)
      [ "$(stat -c %a "$STAGE/$file")" = 755 ] || fail "$file has mode $(stat -c %a "$STAGE/$file"), not 755"
      grep -qF "| \`$file\` |" "$STAGE/DEPLOY.md" || fail "DEPLOY.md has no row for $file"
      ;;
  esac
done
echo "bundle: exactly the $# expected file(s)"
