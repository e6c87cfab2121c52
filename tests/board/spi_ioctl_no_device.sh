#!/usr/bin/env bash
# spi_ioctl_no_device.sh SETTINGS PROGRAM: spi_ioctl under qemu-arm where
# there is no /dev/spidev3.0 prints exactly its one failure line, CR LF
# included, on standard output, nothing on standard error, and ends with
# status 1.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
[ ! -e /dev/spidev3.0 ] || skip "this machine has a /dev/spidev3.0, which qemu-arm would hand to the program"
dir=$(scratch spi_ioctl.no_device)
mkdir "$dir/root"
status=0
"$QEMU_ARM" -L "$dir/root" "$2" </dev/null >"$dir/out" 2>"$dir/err" || status=$?
printf 'Could not open the SPI device...\r\n' > "$dir/expected"
same_bytes "standard output" "$dir/expected" "$dir/out"
[ ! -s "$dir/err" ] || fail "standard error is not empty: $(cat "$dir/err")"
expect_status spi_ioctl 1 "$status"
echo "spi_ioctl: failure line and status 1 as expected"
