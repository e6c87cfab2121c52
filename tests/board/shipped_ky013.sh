#!/usr/bin/env bash
# shipped_ky013.sh SETTINGS PROGRAM HOST_PROGRAM BOARD_JSON: the bundle's
# ky013, run under qemu-arm in a root that holds only musl's loader and the
# analog input's sysfs file, with MRAA_JSON_PLATFORM at the bundled board
# description, prints for every reading 0..1023 the same bytes as the host
# build given the same description.
#
# The description makes pin 73 channel 0 of IIO device 0, a 10-bit
# converter. The sampling preload (built for each side) writes each reading
# into that channel's raw value file before the program reads it, and ends
# the program after the last one.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
program=$2 host_program=$3 board_json=$4
for tool in "$HOST_PRELOAD" "$host_program"; do
  [ -e "$tool" ] || fail "no $tool (the references check builds it in the host build)"
done
[ -e "$BOARD_PRELOAD" ] || fail "no $BOARD_PRELOAD (the board build's helper)"
dir=$(scratch shipped.ky013)
export BRINGUP_PRELOAD_INPUT=/sys/bus/iio/devices/iio:device0/in_voltage0_raw
export BRINGUP_PRELOAD_READINGS=0..1023 MRAA_JSON_PLATFORM=$board_json

iio_device "$dir/host" 0 ""
status=0
BRINGUP_PRELOAD_PREFIX="$dir/host" LD_PRELOAD="$HOST_PRELOAD" "$host_program" \
  </dev/null >"$dir/host.out" 2>"$dir/host.err" || status=$?
expect_status "ky013 (host build)" 0 "$status"
# One line per reading, in order: the comparison below then covers every one.
awk '
  $0 !~ /^Analog Value: -?[0-9]+, Temperature: -?[0-9]+\.[0-9][0-9]$/ { print "bad line " NR ": " $0; bad = 1; exit }
  $3 != (NR - 1) "," { print "line " NR " is not reading " NR - 1 ": " $0; bad = 1; exit }
  END { if (!bad && NR != 1024) print NR " lines, not 1024"; exit bad || NR != 1024 }
' "$dir/host.out" || fail "the host build's output is not one line per reading 0..1023"

board_root "$dir/arm"
iio_device "$dir/arm" 0 ""
status=0
(cd "$dir" && qemu_board arm -E LD_PRELOAD="$BOARD_PRELOAD" "$program") \
  </dev/null >"$dir/arm.out" 2>"$dir/arm.err" || status=$?
[ ! -s "$dir/arm.err" ] || fail "standard error is not empty: $(cat "$dir/arm.err")"
expect_status "the bundle's ky013 under qemu-arm" 0 "$status"
same_bytes "the bundle's ky013 (vs the host build)" "$dir/host.out" "$dir/arm.out"
sed -n '1p;2p;101p;513p;1001p;1024p' "$dir/arm.out"
