#!/usr/bin/env bash
# headers.sh SETTINGS: with Debian's musl wrapper, the kernel's headers come
# from the glibc cross compiler's include directory, searched after musl's
# (-idirafter), and the libstdc++ headers from its c++/ directory. No other
# header may come from there: that one would be glibc's. Reads the header
# dependencies that ninja recorded for every object of the board build.
source "$(dirname "$0")/checks.sh" "$1"
[ -n "$KERNEL_INCLUDE_DIR" ] || skip "the compiler has its own C++ headers (a board SDK): nothing to check"
deps=$("$MAKE_PROGRAM" -C "$BINARY_DIR" -t deps)
used=$(grep -oE "^ +$KERNEL_INCLUDE_DIR/[^/ ]+" <<<"$deps" | sed "s|^ *$KERNEL_INCLUDE_DIR/||" | sort -u || true)
echo "headers used from $KERNEL_INCLUDE_DIR: $(echo ${used:-none})"
for top in $used; do
  case $top in
    asm | asm-generic | drm | linux | misc | mtd | rdma | scsi | sound | video | xen) ;;
    c++) ;;
    *) fail "$KERNEL_INCLUDE_DIR/$top is not a kernel header: glibc's header reached the musl build" ;;
  esac
done
