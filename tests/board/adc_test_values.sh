#!/usr/bin/env bash
# adc_test_values.sh SETTINGS PROGRAM HOST_PROGRAM: adc_test on channel 6
# reads raw values from a fake IIO device 0; the report lines that the board
# program prints under qemu-arm must equal, byte for byte, those of the host
# build for the same raw values.
#
# Under qemu-arm the fake device is served from the -L prefix (qemu-user
# looks up absolute paths there first). The board program is static, so each
# raw value is one run, stopped after its first report. The host program is
# run once through the sampling preload, which serves /sys from the same kind
# of prefix and feeds it the next raw value at each sleep().
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
program=$2 host_program=$3
raws=(0 1 100 1000 2048 4095)
input=/sys/bus/iio/devices/iio:device0/in_voltage6_raw
for tool in "$FIRST_LINES" "$HOST_PRELOAD" "$host_program"; do
  [ -e "$tool" ] || fail "no $tool (the references check builds it in the host build)"
done
dir=$(scratch adc_test.values)

# The host build: the banner, then two lines per raw value.
mkdir "$dir/host"
iio_device "$dir/host" 6 ""
status=0
BRINGUP_PRELOAD_PREFIX="$dir/host" BRINGUP_PRELOAD_INPUT=$input \
  BRINGUP_PRELOAD_READINGS=$(IFS=,; echo "${raws[*]}") LD_PRELOAD="$HOST_PRELOAD" \
  "$host_program" 6 </dev/null >"$dir/host.out" 2>"$dir/host.err" || status=$?
expect_status "adc_test (host build)" 0 "$status"
[ ! -s "$dir/host.err" ] || fail "host build: standard error is not empty: $(cat "$dir/host.err")"
expected_digital=$(for raw in "${raws[@]}"; do echo "Digital Value on Channel 6 = $raw"; done)
[ "$(grep '^Digital' "$dir/host.out")" = "$expected_digital" ] ||
  fail "the host build did not report the raw values fed to it: $(cat "$dir/host.out")"

# The board build, one run per raw value; its output is put together in the
# same shape.
: > "$dir/arm.out"
for raw in "${raws[@]}"; do
  root="$dir/arm-$raw"
  iio_device "$root" 6 "$raw"
  "$FIRST_LINES" 4 "$root.out" "$root.err" "$QEMU_ARM" -L "$root" "$program" 6 ||
    fail "adc_test (board build) did not print its first report for raw value $raw: $(cat "$root.out" "$root.err")"
  [ ! -s "$root.err" ] || fail "board build, raw value $raw: standard error is not empty: $(cat "$root.err")"
  if [ "$raw" = "${raws[0]}" ]; then head -n 2 "$root.out" >> "$dir/arm.out"; fi
  tail -n 2 "$root.out" >> "$dir/arm.out"
done
same_bytes "the board build's report (vs the host build's)" "$dir/host.out" "$dir/arm.out"
grep '^Analog' "$dir/arm.out"
