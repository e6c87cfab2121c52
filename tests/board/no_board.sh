#!/usr/bin/env bash
# no_board.sh SETTINGS PROGRAM MESSAGE: a libmraa program of the bundle, run
# under qemu-arm in a root that holds only musl's loader, with no board
# description: it loads libmraa from the bundle's lib/ (its RUNPATH), runs on
# the modelled Cortex-A9 to its failure path, and ends by itself with MESSAGE
# and a newline on standard error, nothing on standard output, and status 1.
# Then the same with LD_LIBRARY_PATH naming another directory that holds a
# libmraa.so.1 (as DEPLOY.md tells to use the board's own): the loader takes
# that one, and not the bundle's. qemu's system call log shows which file
# the loader opened.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
program=$2 message=$3
name=$(basename "$program")
bundled=$(dirname "$program")/../lib/libmraa.so.1
[ -f "$bundled" ] || fail "the bundle has no lib/libmraa.so.1 beside bin/"
dir=$(scratch "no_board.$name")
board_root "$dir/root"
printf '%s\n' "$message" > "$dir/expected"

# run NAME [QEMU_OPTION]...: runs the program from another directory than
# its own, and checks how it ended.
run() {
  local run=$1 status=0
  shift
  (cd "$dir" && qemu_board root -strace -D "$dir/$run.log" "$@" "$program") \
    </dev/null >"$dir/$run.out" 2>"$dir/$run.err" || status=$?
  same_bytes "$name's standard error ($run)" "$dir/expected" "$dir/$run.err"
  [ ! -s "$dir/$run.out" ] || fail "$run: standard output is not empty: $(cat "$dir/$run.out")"
  expect_status "$name without a board ($run)" 1 "$status"
}
# The path of the libmraa.so.1 that the loader opened, as the program named it.
opened() {
  sed -n 's|^[0-9]* open("\([^"]*/libmraa\.so\.1\)",.*) = [0-9][0-9]*$|\1|p' "$dir/$1.log" | head -n 1
}

run bundle
[ "$(opened bundle)" = "$(dirname "$program")/../lib/libmraa.so.1" ] ||
  fail "the loader did not take the bundle's lib/libmraa.so.1 but: $(opened bundle)"

run board_libmraa -E LD_LIBRARY_PATH="$BOARD_MRAA_LIBDIR"
[ "$(opened board_libmraa)" = "$BOARD_MRAA_LIBDIR/libmraa.so.1" ] ||
  fail "with LD_LIBRARY_PATH=$BOARD_MRAA_LIBDIR the loader took: $(opened board_libmraa)"
echo "$name: libmraa from the bundle, or from LD_LIBRARY_PATH when it names one; \"$message\" and status 1"
