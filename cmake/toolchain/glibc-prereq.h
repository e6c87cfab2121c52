/* Force-included into every C++ file of the board build when the C++ headers
 * come from Debian's cross libstdc++ (see arm-linux-musleabihf.cmake). Those
 * headers were configured for glibc: bits/os_defines.h tests
 * __GLIBC_PREREQ(major, minor), which musl does not define, and the
 * preprocessor rejects the test. musl is not glibc of any version. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
