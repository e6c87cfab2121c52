#!/usr/bin/env bash
# libc_agreement.sh SETTINGS MUSL_PROGRAM GLIBC_PROGRAM: the two builds of
# probes/libc_agreement.c print the same bytes under qemu-arm.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
dir=$(scratch libc_agreement)
for build in musl glibc; do
  program=$2
  [ "$build" = glibc ] && program=$3
  status=0
  "$QEMU_ARM" "$program" </dev/null >"$dir/$build.out" 2>"$dir/$build.err" || status=$?
  expect_status "the $build build" 0 "$status"
done
[ "$(wc -l < "$dir/musl.out")" -eq 1024 ] || fail "the musl build printed $(wc -l < "$dir/musl.out") lines, not 1024"
same_bytes "glibc's results (vs musl's)" "$dir/musl.out" "$dir/glibc.out"
echo "musl and glibc armhf agree on log() and printf for all 1024 readings"
