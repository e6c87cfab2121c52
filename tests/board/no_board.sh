#!/usr/bin/env bash
# no_board.sh SETTINGS PROGRAM: a libmraa program run under qemu-arm, with the
# stand-in libmraa and nothing of the board around it, loads (musl's loader,
# libmraa), runs on the modelled Cortex-A9 to its failure path, and ends by
# itself with status 1: the bus or pin it needs cannot be opened.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
program=$2
dir=$(scratch "no_board.$(basename "$program")")
mkdir "$dir/root"
status=0
"$QEMU_ARM" -L "$dir/root" -E LD_LIBRARY_PATH="$BOARD_MRAA_LIBDIR" "$program" \
  </dev/null >"$dir/out" 2>"$dir/err" || status=$?
echo "standard output:"; cat "$dir/out"
echo "standard error:"; cat "$dir/err"
expect_status "$(basename "$program") without a board" 1 "$status"
