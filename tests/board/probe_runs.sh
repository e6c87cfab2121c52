#!/usr/bin/env bash
# probe_runs.sh SETTINGS PROGRAM OUTPUT [sigill]: PROGRAM, run under qemu-arm
# modelling a Cortex-A9, prints OUTPUT and a newline and ends with status 0;
# or, with "sigill", it prints OUTPUT on a Cortex-A15 (VFPv4 and integer
# divide) but dies with SIGILL on the Cortex-A9.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
program=$2 output=$3 mode=${4:-}
dir=$(scratch "probe.$(basename "$program")")
printf '%s\n' "$output" > "$dir/expected"
cpu=cortex-a9
[ "$mode" = sigill ] && cpu=cortex-a15
status=0
QEMU_CPU=$cpu "$QEMU_ARM" "$program" </dev/null >"$dir/out" 2>/dev/null || status=$?
expect_status "$(basename "$program") on a $cpu" 0 "$status"
same_bytes "output on a $cpu" "$dir/expected" "$dir/out"
if [ "$mode" = sigill ]; then
  status=0
  "$QEMU_ARM" "$program" </dev/null >/dev/null 2>&1 || status=$?
  expect_status "$(basename "$program") on a Cortex-A9" $((128 + 4)) "$status"
fi
echo "$(basename "$program"): as expected"
