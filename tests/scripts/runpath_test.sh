#!/usr/bin/env bash
# Every program built for the PC finds its libraries only where its run path
# says, and the run path names no directory relative to wherever a user
# happens to be: no empty entry, no ".", no relative path ($ORIGIN, the
# program's own directory, is fine).
#
#   runpath_test.sh PROGRAM...
set -euo pipefail
failures=0
for program in "$@"; do
  entries=$(readelf -d "$program" | sed -En 's/.*\((RPATH|RUNPATH)\).*\[(.*)\]$/\2/p')
  [ -n "$entries" ] || continue
  while IFS= read -r path; do
    case $path in
      /* | '$ORIGIN' | '$ORIGIN/'*) ;;
      *) echo "FAIL: $program: run path [$entries] has the entry '$path', relative to the current directory"
         failures=$((failures + 1)) ;;
    esac
  done < <(awk -F: '{ for (i = 1; i <= NF; i++) print $i }' <<<"$entries")
done
exit $((failures > 0))
