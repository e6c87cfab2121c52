#!/usr/bin/env bash
# check_elf.sh SETTINGS KIND FILE [UNSTRIPPED]
#
# Whether FILE is a program or library the board can run. KIND is "static"
# (a program that needs nothing on the board), "dynamic" (a program that
# needs musl's loader and the libraries it names, and finds libmraa in the
# bundle's lib/ through its RUNPATH) or "library" (a shared library of the
# bundle, known by its file name as its soname). UNSTRIPPED, the same file
# before stripping, is searched for C++ runtime and glibc symbols. Prints one
# FAIL line per rule broken.
source "$(dirname "$0")/checks.sh" "$1"
kind=$2 file=$3 unstripped=${4:-$3}
broken=0
rule() { printf 'FAIL: %s: %s\n' "$(basename "$file")" "$*"; broken=$((broken + 1)); }

header=$("$READELF" -h "$file" 2>&1) || fail "$file is not an ELF file: $header"
grep -Eq '^ +Class: +ELF32$' <<<"$header" || rule "not a 32-bit ELF file"
grep -Eq '^ +Machine: +ARM$' <<<"$header" || rule "not ARM code"
grep -Eq '^ +Flags: .*Version5 EABI' <<<"$header" || rule "not the ARM EABI version 5"
grep -Eq '^ +Flags: .*hard-float ABI' <<<"$header" || rule "not the hard-float ABI"

attributes=$("$READELF" -A "$file")
grep -Eq 'Tag_ABI_VFP_args: VFP registers' <<<"$attributes" ||
  rule "floating-point arguments not passed in VFP registers (Tag_ABI_VFP_args)"
grep -Eq 'Tag_CPU_arch: v7$' <<<"$attributes" || rule "not ARMv7 code (Tag_CPU_arch)"

# Every instruction, not only those a run reaches: no integer divide (the
# Cortex-A5 has none) and no fused multiply-add (which would round a multiply
# and an add as one, changing printed results; -ffp-contract=off forbids it).
code=$("$OBJDUMP" -d "$file")
divides=$(grep -cE $'\t[su]div(\t|$)' <<<"$code" || true)
fused=$(grep -cE $'\tv(fma|fms|fnma|fnms)\\.' <<<"$code" || true)
[ "$divides" -eq 0 ] || rule "$divides integer divide instructions (sdiv/udiv), which a Cortex-A5 lacks"
[ "$fused" -eq 0 ] || rule "$fused fused multiply-add instructions (vfma/vfms/vfnma/vfnms)"

interpreter=$("$READELF" -l "$file" | sed -n 's/.*\[Requesting program interpreter: \(.*\)\]$/\1/p')
dynamic=$("$READELF" -d "$file")
# The library search path that a program of the bundle may carry: the
# bundle's lib/, wherever the bundle is.
search_path=
case $kind in
  static)
    [ -z "$interpreter" ] || rule "a static program with an interpreter ($interpreter)"
    grep -q 'There is no dynamic section' <<<"$dynamic" || rule "a static program with a dynamic section"
    ;;
  dynamic)
    [ "$interpreter" = /lib/ld-musl-armhf.so.1 ] ||
      rule "interpreter ${interpreter:-none}, not musl's /lib/ld-musl-armhf.so.1"
    # shellcheck disable=SC2016 # $ORIGIN is the loader's, not the shell's
    search_path='$ORIGIN/../lib'
    ;;
  library)
    [ -z "$interpreter" ] || rule "a library with an interpreter ($interpreter)"
    grep -Eq '^ +Type: +DYN ' <<<"$header" || rule "not a shared library"
    soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p' <<<"$dynamic")
    [ "$soname" = "$(basename "$file")" ] || rule "soname ${soname:-none}, not its file name"
    ;;
  *) fail "unknown kind $kind" ;;
esac
while read -r library; do
  case $library in
    '') ;;
    libc.so) ;;
    libmraa.so.*) [ "$kind" != library ] || rule "a library that needs $library" ;;
    libstdc++*) rule "links libstdc++ ($library)" ;;
    *) rule "needs $library, which is neither musl's libc.so nor libmraa" ;;
  esac
done <<<"$(sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' <<<"$dynamic")"
paths=$(sed -En 's/.*\((RPATH|RUNPATH)\).*\[(.*)\]$/\1 \2/p' <<<"$dynamic")
if [ -n "$search_path" ] && [ "$paths" != "RUNPATH $search_path" ]; then
  rule "library search path ${paths:-none}, not the RUNPATH $search_path"
elif [ -z "$search_path" ] && [ -n "$paths" ]; then
  rule "a library search path: ${paths//$'\n'/, }"
fi
if "$READELF" -V "$file" | grep -Eq 'GLIBC_|GLIBCXX_|CXXABI_'; then
  rule "glibc symbol versions: $("$READELF" -V "$file" | grep -Eo '(GLIBC|GLIBCXX|CXXABI)_[0-9.]+' | sort -u | tr '\n' ' ')"
fi

symbols=$("$NM" "$unstripped" 2>/dev/null; "$NM" -D "$unstripped" 2>/dev/null) || true
cxx=$(grep -Eo ' (__gxx_personality_v0|_ZN?K?St[0-9A-Za-z_]*|_ZT[ISV]St[0-9A-Za-z_]*|_ZTVN10__cxxabiv1[0-9A-Za-z_]*|_Zn[wa][jm][0-9A-Za-z_]*|_Zd[la]Pv[0-9A-Za-z_]*|__cxa_(guard_[a-z]+|throw|allocate_exception|begin_catch|end_catch|rethrow|pure_virtual))$' <<<"$symbols" | sort -u | head -5 | tr -d ' ' | tr '\n' ' ' || true)
[ -z "$cxx" ] || rule "C++ runtime symbols: $cxx"
if [ "$kind" = static ] && grep -Eq ' (_IO_stdin_used|__libc_setup_tls|_dl_relocate_static_pie)$' <<<"$symbols"; then
  rule "glibc's start-up code (a static glibc program)"
fi

[ "$broken" -eq 0 ] || exit 1
case $kind in
  library) what="board library" ;;
  *) what="$kind board program" ;;
esac
printf '%s: a %s (%d bytes)\n' "$(basename "$file")" "$what" "$(stat -c %s "$file")"
