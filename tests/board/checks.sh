# Sourced by every board check with the settings file of the build tree as its
# first argument (checks.env, written by tests/board/CMakeLists.txt): paths of
# the cross binutils, qemu-arm, the staged bundle and the reference builds.
set -euo pipefail
SETTINGS=$1
# shellcheck source=/dev/null
source "$SETTINGS"

# Every run under qemu-arm models a Cortex-A9: like the board's Cortex-A5 it
# has no integer divide instruction, and unlike it no fused multiply-add
# (VFPv3). Code that uses either dies with SIGILL (exit status 132 here).
export QEMU_CPU=cortex-a9

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
skip() { printf 'SKIPPED: %s\n' "$*"; exit 77; }

need_qemu() {
  [ -n "$QEMU_ARM" ] || skip "qemu-arm is not installed (Debian package qemu-user), nothing can run ARM code here"
}

# scratch NAME: a new empty directory for one check's files.
scratch() {
  local dir="$WORK/$1"
  rm -rf "$dir" && mkdir -p "$dir" && printf '%s\n' "$dir"
}

# same_bytes WHAT EXPECTED ACTUAL: the two files are equal byte for byte.
same_bytes() {
  cmp -s "$2" "$3" && return 0
  printf 'FAIL: %s differs; expected, then actual (cat -A):\n' "$1" >&2
  diff <(cat -A "$2") <(cat -A "$3") >&2 || true
  exit 1
}

# expect_status WHAT EXPECTED ACTUAL
expect_status() {
  [ "$3" -eq "$2" ] || fail "$1 ended with status $3, not $2$([ "$3" -gt 128 ] && echo " (signal $(($3 - 128)))")"
}

# iio_device ROOT CHANNEL RAW: the attribute files of IIO device 0 that
# adc_test and libmraa's analog input use, under ROOT/sys, with RAW as the
# channel's raw value.
iio_device() {
  local dir="$1/sys/bus/iio/devices/iio:device0"
  mkdir -p "$dir/buffer" "$dir/scan_elements"
  : > "$dir/buffer/enable"
  : > "$dir/buffer/length"
  : > "$dir/scan_elements/in_voltage$2_en"
  printf '%s\n' "$3" > "$dir/in_voltage$2_raw"
}
