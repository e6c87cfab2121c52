# Sourced by every board check with the settings file of the build tree as its
# first argument (checks.env, written by tests/board/CMakeLists.txt): paths of
# the cross binutils, qemu-arm and the staged bundle.
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
  [ -n "$QEMU_ARM" ] || skip "the project's qemu-arm is not built (scripts/setup builds it), nothing can run ARM code here"
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

# board_root DIR: the root (qemu-arm's -L prefix) that a bundle's program
# runs in: musl's loader, nothing else of a board. /dev/console leads to
# /dev/null: libmraa logs through syslog(), which musl writes to the console
# when no syslog daemon listens on /dev/log, and qemu-user would otherwise
# open the PC's own console (qemu-user takes a path from the host where the
# prefix lacks it).
board_root() {
  mkdir -p "$1/lib" "$1/dev"
  cp -L "$MUSL_LOADER" "$1/lib/ld-musl-armhf.so.1"
  ln -s /dev/null "$1/dev/console"
}

# qemu_board ROOT [QEMU_OPTION]... PROGRAM [ARG]...: runs a program of the
# bundle in ROOT. The environment reaches the program, except for
# LD_LIBRARY_PATH and LD_PRELOAD (a check sets those with -E).
qemu_board() {
  local root=$1
  shift
  "$QEMU_ARM" -L "$root" -U LD_LIBRARY_PATH -U LD_PRELOAD "$@"
}
