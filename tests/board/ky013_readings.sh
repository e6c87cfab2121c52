#!/usr/bin/env bash
# ky013_readings.sh SETTINGS HOST_PROGRAM ARM_PROGRAM: the temperatures that
# ky013 prints for every reading 0..1023, from the ARM build under qemu-arm,
# equal those of the host build byte for byte.
#
# The ARM program is ky013 built from the same sources with the same board
# flags, but against glibc armhf and a libmraa that reads JSON board
# descriptions (preset board-glibc): the musl stand-in has no JSON support,
# and without a board description libmraa has no analog pin 73. Both
# programs get the same description: pin 73 is channel 0 of IIO device 0, a
# 10-bit converter. The sampling preload writes each reading into that
# channel's raw value file before the program reads it, and ends the program
# after the last one.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
host_program=$2 arm_program=$3
for tool in "$HOST_PRELOAD" "$host_program"; do
  [ -e "$tool" ] || fail "no $tool (the references check builds it in the host build)"
done
for tool in "$GLIBC_PRELOAD" "$arm_program" "$GLIBC_MRAA_LIBDIR/libmraa.so.1"; do
  [ -e "$tool" ] || skip "no $tool: the glibc armhf build needs g++-arm-linux-gnueabihf," \
    "libjson-c-dev:armhf and scripts/setup's .deps/board-glibc"
done
dir=$(scratch ky013.readings)
input=/sys/bus/iio/devices/iio:device0/in_voltage0_raw

# The board description: 74 pins, no GPIO, the analog inputs after them, and
# pin 73 the one at channel 0.
board_json() {
  printf '{\n  "version": "1.1.0",\n'
  printf '  "platform": [ { "id": 1, "name": "ky013 check", "pin_count": 74, "gpio_count": 0,\n'
  printf '    "aio_count": 74, "adc_raw_bits": 10, "adc_supported_bits": 10 } ],\n'
  printf '  "layout": [\n'
  local pin
  for ((pin = 0; pin < 73; pin++)); do printf '    { "label": "P%d" },\n' "$pin"; done
  printf '    { "label": "A0" }\n  ],\n  "GPIO": [],\n  "AIO": [ { "index": 73, "rawpin": 0 } ]\n}\n'
}
for build in host arm; do
  iio_device "$dir/$build" 0 ""
  board_json > "$dir/$build/board.json"
done
export BRINGUP_PRELOAD_INPUT=$input BRINGUP_PRELOAD_READINGS=0..1023

status=0
BRINGUP_PRELOAD_PREFIX="$dir/host" MRAA_JSON_PLATFORM="$dir/host/board.json" LD_PRELOAD="$HOST_PRELOAD" \
  "$host_program" </dev/null >"$dir/host.out" 2>"$dir/host.err" || status=$?
expect_status "ky013 (host build)" 0 "$status"

status=0
"$QEMU_ARM" -L "$dir/arm" -E LD_PRELOAD="$GLIBC_PRELOAD" -E LD_LIBRARY_PATH="$GLIBC_MRAA_LIBDIR" \
  -E MRAA_JSON_PLATFORM=/board.json "$arm_program" </dev/null >"$dir/arm.out" 2>"$dir/arm.err" || status=$?
expect_status "ky013 (ARM build under qemu-arm)" 0 "$status"

# The host build printed one line per reading, in order: the comparison below
# then covers every reading.
awk -v out="$dir/host.out" '
  $0 !~ /^Analog Value: -?[0-9]+, Temperature: -?[0-9]+\.[0-9][0-9]$/ { print "bad line " NR ": " $0; bad = 1; exit }
  $3 != (NR - 1) "," { print "line " NR " is not reading " NR - 1 ": " $0; bad = 1; exit }
  END { if (!bad && NR != 1024) print NR " lines, not 1024"; exit bad || NR != 1024 }
' "$dir/host.out" || fail "the host build's output is not one line per reading 0..1023"
same_bytes "the ARM build's temperatures (vs the host build's)" "$dir/host.out" "$dir/arm.out"
sed -n '1p;2p;101p;513p;1001p;1023p;1024p' "$dir/arm.out"
