#!/usr/bin/env bash
# shipped_pwm_led_mraa.sh SETTINGS PROGRAM HOST_PROGRAM BOARD_JSON: the
# bundle's pwm_led_mraa, run under qemu-arm in a root that holds only musl's
# loader and the PWM controller's sysfs files, with MRAA_JSON_PLATFORM at the
# bundled board description, makes the same writes to the controller as the
# host build (export, period, enable, then the first duty cycles) and prints
# the same report lines.
#
# Pin 72 is pwmchip0's channel 0 in the description. The files stand in for
# the kernel's attributes through the sampling preload (built for each
# side), which gives them the kernel's write semantics and records every
# write. The program fades for ever, 50 ms a step: each side is stopped after
# its first report lines, and the records are compared up to as many duty
# cycles (the program may have written the next one before it was stopped).
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
program=$2 host_program=$3 board_json=$4
steps=5
[ ! -e /sys/class/pwm/pwmchip0 ] ||
  skip "this machine has a PWM controller 0, which libmraa's stat() of its channel would see on either side"
for tool in "$FIRST_LINES" "$HOST_PRELOAD" "$host_program"; do
  [ -e "$tool" ] || fail "no $tool (the references check builds it in the host build)"
done
[ -e "$BOARD_PRELOAD" ] || fail "no $BOARD_PRELOAD (the board build's helper)"
dir=$(scratch shipped.pwm_led_mraa)
export MRAA_JSON_PLATFORM=$board_json

# pwm_chip ROOT: pwmchip0 with its channel 0 as the kernel shows them once
# the channel is exported (the export itself creates nothing here).
pwm_chip() {
  local chip="$1/sys/class/pwm/pwmchip0"
  mkdir -p "$chip/pwm0"
  : > "$chip/export"
  : > "$chip/unexport"
  : > "$chip/pwm0/period"
  : > "$chip/pwm0/duty_cycle"
  : > "$chip/pwm0/enable"
}
# writes SIDE: the record of SIDE's writes, up to its STEPS-th duty cycle.
writes() {
  awk -v steps="$steps" '{ print } $1 ~ /\/duty_cycle$/ && ++duty == steps { exit }' "$dir/$1.writes"
}

pwm_chip "$dir/host"
BRINGUP_PRELOAD_PREFIX="$dir/host" BRINGUP_PRELOAD_WRITES="$dir/host.writes" \
  "$FIRST_LINES" "$steps" "$dir/host.out" "$dir/host.err" env LD_PRELOAD="$HOST_PRELOAD" "$host_program" ||
  fail "the host build did not print $steps report lines: $(cat "$dir/host.out" "$dir/host.err")"
[ ! -s "$dir/host.err" ] || fail "host build: standard error is not empty: $(cat "$dir/host.err")"
[ "$(writes host | grep -c '/duty_cycle ')" -eq "$steps" ] ||
  fail "the host build did not write $steps duty cycles: $(cat "$dir/host.writes")"

board_root "$dir/arm"
pwm_chip "$dir/arm"
(cd "$dir" && BRINGUP_PRELOAD_WRITES="$dir/arm.writes" \
  "$FIRST_LINES" "$steps" "$dir/arm.out" "$dir/arm.err" "$QEMU_ARM" -L arm -U LD_LIBRARY_PATH \
  -E LD_PRELOAD="$BOARD_PRELOAD" "$program") ||
  fail "the bundle's pwm_led_mraa did not print $steps report lines: $(cat "$dir/arm.out" "$dir/arm.err")"
[ ! -s "$dir/arm.err" ] || fail "standard error is not empty: $(cat "$dir/arm.err")"
writes host > "$dir/host.first"
writes arm > "$dir/arm.first"
same_bytes "the bundle's writes to pwmchip0 (vs the host build's)" "$dir/host.first" "$dir/arm.first"
same_bytes "the bundle's report lines (vs the host build's)" "$dir/host.out" "$dir/arm.out"
sed 's|^/sys/class/pwm/pwmchip0/||' "$dir/arm.first"
cat "$dir/arm.out"
