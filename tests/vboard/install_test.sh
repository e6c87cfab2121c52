#!/usr/bin/env bash
# cmake --install gives a vboard that runs from wherever its tree is moved:
# its own files found beside it, the programs by name with the libmraa
# installed with them, its manual page and its bash completion.
#
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL: %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/moved"
tree=$work/moved
vboard=$tree/bin/vboard

check "--version" "$("$build/vboard/vboard" --version)" "$("$vboard" --version)"
check "a program by name" "$("$build/vboard/vboard" run -q -s max -t 2 ky013)" "$("$vboard" run -q -s max -t 2 ky013)"
check "what the program is given" "$tree/lib/vboard/libvboard-preload.so $tree/share/vboard/boards/virtual-board.json" \
  "$("$vboard" run -q -- /bin/sh -c 'echo $LD_PRELOAD $MRAA_JSON_PLATFORM')"
for program in i2c_lcd pwm_led_mraa ky013 spi_mraa; do
  check "$program's libmraa" "$tree/lib/vboard/programs/../libmraa.so.1" \
    "$(LD_TRACE_LOADED_OBJECTS=1 "$tree/lib/vboard/programs/$program" | sed -n 's/.*libmraa[^ ]* => \([^ ]*\) .*/\1/p')"
done
check "an unknown program's message" "vboard: no program nothing_here (not in PATH, and not one of the board's: i2c_lcd, spi_ioctl, adc_test, pwm_led_mraa, ky013, spi_mraa, calculator)" \
  "$("$vboard" run nothing_here 2>&1 || true)"

# The manual page, read with man where it is installed (a minimal Debian has
# no man-db), else as the roff source help2man wrote.
page=$tree/share/man/man1/vboard.1
if [ -f "$build/vboard/vboard.1" ]; then
  if command -v man >/dev/null; then
    check "the manual page" "yes" "$(MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q -- '--trace=FILE' && echo yes)"
  else
    check "the manual page" "yes" "$(grep -q '^\.TH VBOARD "1"' "$page" && grep -q -- '\\-\\-trace\\fR=' "$page" && echo yes)"
  fi
fi

check "the display's decoders" "yes" \
  "$([ -f "$tree/share/vboard/sigrok/decoders/pcf8574/pd.py" ] && [ -f "$tree/share/vboard/sigrok/decoders/hd44780/pd.py" ] && echo yes)"

# Completion: what bash offers at the cursor (the last word).
completions() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _vboard; echo "${COMPREPLY[*]}"' \
    _ "$tree/share/bash-completion/completions/vboard" "$@"
}
check "the commands" "run" "$(completions vboard r)"
check "help's topics" "run devices test" "$(completions vboard help "")"
check "a value's choices" "16x2 20x4" "$(completions vboard run --lcd "")"
check "the capture's ticks" "1ns 10ns 100ns 1us" "$(completions vboard run --vcd-timescale "")"
check "the programs by name" "ky013" "$(completions vboard run -q ky0)"
check "an option" "--strict-timing" "$(completions vboard run --stri)"
check "test's options" "--keep --keep-all" "$(completions vboard test --kee)"

exit $((failures > 0))
