#!/usr/bin/env bash
# probe_rejected.sh SETTINGS KIND FILE REASON...: check_elf.sh refuses FILE
# and names each REASON (a fixed text) among the rules it breaks.
source "$(dirname "$0")/checks.sh" "$1"
kind=$2 file=$3
shift 3
status=0
report=$("$(dirname "$0")/check_elf.sh" "$SETTINGS" "$kind" "$file" 2>&1) || status=$?
expect_status "check_elf.sh on $(basename "$file")" 1 "$status"
echo "refused, as it must be, for:"
sed 's/^FAIL: [^:]*: /  /' <<<"$report"
for reason in "$@"; do
  grep -qF -- "$reason" <<<"$report" || fail "check_elf.sh did not report: $reason"
done
