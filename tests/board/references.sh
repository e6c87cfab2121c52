#!/usr/bin/env bash
# references.sh SETTINGS PRESET TREE TARGET...: builds TARGET... in the build
# tree TREE of configure preset PRESET, configuring it first where it has not
# been. The host build's programs are what the board build's output is
# compared with; the glibc armhf build (preset board-glibc) runs ky013 under
# qemu-arm. Where the glibc armhf build cannot be made here (no cross g++ or
# no .deps/board-glibc), nothing is built and the ky013 check says so.
source "$(dirname "$0")/checks.sh" "$1"
preset=$2 tree=$3
shift 3
if [ "$preset" = board-glibc ] &&
  { ! command -v arm-linux-gnueabihf-g++ >/dev/null || [ ! -f "$GLIBC_MRAA_LIBDIR/libmraa.so.1" ]; }; then
  echo "no glibc armhf build here: arm-linux-gnueabihf-g++ or $GLIBC_MRAA_LIBDIR is missing"
  exit 0
fi
if [ ! -f "$tree/CMakeCache.txt" ]; then
  (cd "$SOURCE_DIR" && cmake --preset "$preset")
fi
cmake --build "$tree" --target "$@"
