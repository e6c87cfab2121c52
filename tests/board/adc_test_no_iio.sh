#!/usr/bin/env bash
# adc_test_no_iio.sh SETTINGS PROGRAM: adc_test on channel 6 under qemu-arm
# where there is no IIO device: the banner, one perror line for each set-up
# file, then every pass its perror line for the raw value and its two report
# lines. The program never ends; it is stopped after its first report.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
[ ! -e /sys/bus/iio/devices/iio:device0 ] ||
  skip "this machine has an IIO device 0, which qemu-arm would hand to the program"
[ -x "$FIRST_LINES" ] || fail "no $FIRST_LINES (the host build's helper; the references check builds it)"
dir=$(scratch adc_test.no_iio)
mkdir "$dir/root"
"$FIRST_LINES" 4 "$dir/out" "$dir/err" "$QEMU_ARM" -L "$dir/root" "$2" 6 ||
  fail "adc_test did not print its banner and first report: $(cat "$dir/out" "$dir/err")"

printf '\n   *** ADC TESTING UTILITY ***   \n' > "$dir/expected"
head -n 2 "$dir/out" > "$dir/banner"
same_bytes "the banner" "$dir/expected" "$dir/banner"
tail -n 2 "$dir/out" > "$dir/report"
sed -n 1p "$dir/report" | grep -Eqx 'Digital Value on Channel 6 = -?[0-9]+' ||
  fail "bad digital report line: $(sed -n 1p "$dir/report" | cat -A)"
sed -n 2p "$dir/report" | grep -Eqx 'Analog Value on Channel 6 = -?[0-9]+\.[0-9]{6}' ||
  fail "bad analog report line: $(sed -n 2p "$dir/report" | cat -A)"

# Set-up, then the first pass; the program was stopped in the pause after
# it, though on a slow machine a second pass may have begun.
cat > "$dir/expected" <<'LINES'
open buffer enable error: No such file or directory
open buffer length error: No such file or directory
open scan_elements/in_voltage6_en error: No such file or directory
open in_voltage6_raw   error: No such file or directory
LINES
head -n 4 "$dir/err" > "$dir/first_pass"
same_bytes "standard error" "$dir/expected" "$dir/first_pass"
if tail -n +5 "$dir/err" | grep -vxF 'open in_voltage6_raw   error: No such file or directory'; then
  fail "unexpected lines on standard error after the first pass"
fi
echo "adc_test: banner, failure lines and report as expected"
