# CMake toolchain for the board: 32-bit ARMv7-A, Cortex-A5 (VFPv4 + NEON),
# hard-float calling convention, musl libc.
#
# Which tools and which libraries, in the usual variables:
#
#   BOARD_CROSS_PREFIX   path and name prefix of the cross compilers, e.g.
#                        /opt/board-sdk/bin/arm-linux-musleabihf- (default: the
#                        environment's CROSS_COMPILE, else arm-linux-musleabihf-
#                        from PATH)
#   CMAKE_SYSROOT        the board's root file system as a board SDK ships it
#   CMAKE_FIND_ROOT_PATH more prefixes holding board libraries (here: the stand-in
#                        libmraa that scripts/setup builds into .deps/board)
#   BOARD_PKG_CONFIG_DIRS extra directories of board .pc files
#
# Libraries and headers are looked up only under CMAKE_SYSROOT and
# CMAKE_FIND_ROOT_PATH where they are given, and pkg-config reads only the .pc
# files found there and in BOARD_PKG_CONFIG_DIRS: a .pc file of the PC's own
# libraries must never reach a board link.
#
# With Debian's packages (g++-arm-linux-gnueabihf and musl-dev:armhf) there is
# no musl C++ compiler: arm-linux-musleabihf-gcc is a wrapper that runs the
# glibc cross gcc with musl's specs file. Those specs pass -nostdinc, which
# also drops the C++ headers, so C++ files are compiled by that C driver with
# the cross libstdc++'s include directories added back (its headers only:
# <cstdio>, <cmath> and the like wrap the C library, which is musl's here).
# A board SDK whose prefix has its own g++ is used as it is.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

# try_compile projects read this file again, in the same process: they need
# the same choices (or they would, among others, reset pkg-config's
# directories in the environment).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  BOARD_CROSS_PREFIX BOARD_BINUTILS_PREFIX BOARD_PKG_CONFIG_DIRS
  BOARD_LIBSTDCXX_INCLUDE_DIRS BOARD_KERNEL_INCLUDE_DIR CMAKE_FIND_ROOT_PATH)

set(_board_default_prefix "arm-linux-musleabihf-")
if(NOT "$ENV{CROSS_COMPILE}" STREQUAL "")
  set(_board_default_prefix "$ENV{CROSS_COMPILE}")
endif()
set(BOARD_CROSS_PREFIX "${_board_default_prefix}" CACHE STRING
  "Path and name prefix of the board's cross compilers (e.g. /opt/board-sdk/bin/arm-linux-musleabihf-)")
set(BOARD_PKG_CONFIG_DIRS "" CACHE STRING "Extra directories of the board's pkg-config files")

find_program(_board_gcc "${BOARD_CROSS_PREFIX}gcc" NO_CACHE)
if(NOT _board_gcc)
  message(FATAL_ERROR "No ${BOARD_CROSS_PREFIX}gcc: install the cross packages (./scripts/setup) "
                      "or point BOARD_CROSS_PREFIX at a board SDK's compilers")
endif()
set(CMAKE_C_COMPILER "${_board_gcc}")

set(_board_debian_c_flags "")
set(_board_debian_cxx_flags "")
find_program(_board_gxx "${BOARD_CROSS_PREFIX}g++" NO_CACHE)
if(_board_gxx)
  set(CMAKE_CXX_COMPILER "${_board_gxx}")
else()
  set(CMAKE_CXX_COMPILER "${_board_gcc}")
  # Ask the glibc cross g++ that the wrapper's gcc belongs to for its include
  # directories, in its search order: the libstdc++ ones (they #include_next
  # the C library's headers, so they come before musl's), and the target
  # directory that holds the kernel's user-space headers (<linux/...>,
  # <asm/...>), which the musl specs' -nostdinc drops as well.
  if(NOT BOARD_LIBSTDCXX_INCLUDE_DIRS OR NOT BOARD_KERNEL_INCLUDE_DIR)
    set(_board_real_gcc "$ENV{REALGCC}")
    if(NOT _board_real_gcc)
      set(_board_real_gcc arm-linux-gnueabihf-gcc)
    endif()
    string(REGEX REPLACE "gcc$" "g++" _board_real_gxx "${_board_real_gcc}")
    execute_process(COMMAND "${_board_real_gxx}" -E -x c++ -v /dev/null
      OUTPUT_QUIET ERROR_VARIABLE _board_gxx_v RESULT_VARIABLE _board_rc)
    string(REPLACE "\n" ";" _board_gxx_v "${_board_gxx_v}")
    set(_board_cxx_dirs)
    set(_board_kernel_dir)
    foreach(_line IN LISTS _board_gxx_v)
      if(_line MATCHES "^ (/[^ ]*)$")
        get_filename_component(_dir "${CMAKE_MATCH_1}" REALPATH)
        if(_dir MATCHES "/include/c\\+\\+/")
          list(APPEND _board_cxx_dirs "${_dir}")
        elseif(NOT _board_kernel_dir AND EXISTS "${_dir}/linux/ioctl.h" AND EXISTS "${_dir}/asm/ioctl.h")
          set(_board_kernel_dir "${_dir}")
        endif()
      endif()
    endforeach()
    if(NOT _board_rc EQUAL 0 OR NOT _board_cxx_dirs OR NOT _board_kernel_dir)
      message(FATAL_ERROR "${BOARD_CROSS_PREFIX}gcc has no g++ beside it, and ${_board_real_gxx} shows "
                          "no libstdc++ or kernel headers: install g++-arm-linux-gnueabihf")
    endif()
    set(BOARD_LIBSTDCXX_INCLUDE_DIRS "${_board_cxx_dirs}" CACHE INTERNAL "libstdc++ headers for the musl wrapper")
    set(BOARD_KERNEL_INCLUDE_DIR "${_board_kernel_dir}" CACHE INTERNAL "Linux user-space headers for the musl wrapper")
  endif()
  foreach(_dir IN LISTS BOARD_LIBSTDCXX_INCLUDE_DIRS)
    string(APPEND _board_debian_cxx_flags " -isystem ${_dir}")
  endforeach()
  # -idirafter: searched after musl's headers, so that only what musl does
  # not have (the kernel's headers) is taken from there.
  set(_board_debian_c_flags " -idirafter ${BOARD_KERNEL_INCLUDE_DIR}")
  string(APPEND _board_debian_cxx_flags
    "${_board_debian_c_flags} -include ${CMAKE_CURRENT_LIST_DIR}/glibc-prereq.h")
endif()

# Binutils: the SDK's when it has them, else Debian's (the musl wrapper comes
# without any). CMake would otherwise fall back to the PC's own strip and ar.
find_program(_board_strip "${BOARD_CROSS_PREFIX}strip" NO_CACHE)
if(_board_strip)
  set(_board_default_binutils "${BOARD_CROSS_PREFIX}")
else()
  set(_board_default_binutils "arm-linux-gnueabihf-")
endif()
set(BOARD_BINUTILS_PREFIX "${_board_default_binutils}" CACHE STRING "Path and name prefix of the board's binutils")
foreach(_tool ar ranlib strip objcopy objdump readelf nm)
  string(TOUPPER "${_tool}" _var)
  find_program(CMAKE_${_var} "${BOARD_BINUTILS_PREFIX}${_tool}")
endforeach()

# Cortex-A5 with VFPv4 and NEON, floating-point arguments in VFP registers.
# -ffp-contract=off: VFPv4 has fused multiply-add, and GCC would fuse a
# multiply and an add into one vfma, rounded once instead of twice: the
# results would differ in their last bits from the PC's (and vfma is missing
# on older cores).
# The programs use no exceptions, no RTTI and no locked static initialisers,
# so they need nothing from the C++ runtime library.
set(_board_cpu "-mcpu=cortex-a5 -mfpu=neon-vfpv4 -mfloat-abi=hard -ffp-contract=off")
set(CMAKE_C_FLAGS_INIT "${_board_cpu}${_board_debian_c_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_board_cpu} -fno-exceptions -fno-rtti -fno-threadsafe-statics${_board_debian_cxx_flags}")

# Link through the C driver: g++ would add libstdc++ (a library the board does
# not have, and one built for glibc here); what a program lacks shows as an
# undefined symbol at link time instead.
set(CMAKE_CXX_LINK_EXECUTABLE
  "${_board_gcc} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees the board's .pc files and nothing else: PKG_CONFIG_LIBDIR
# replaces its default directories (the PC's), PKG_CONFIG_PATH from the
# environment is dropped, and CMAKE_PREFIX_PATH is not added to it.
set(_board_pc_dirs)
foreach(_root IN LISTS CMAKE_SYSROOT CMAKE_FIND_ROOT_PATH)
  foreach(_sub usr/lib/pkgconfig usr/share/pkgconfig lib/pkgconfig share/pkgconfig)
    list(APPEND _board_pc_dirs "${_root}/${_sub}")
  endforeach()
endforeach()
list(APPEND _board_pc_dirs ${BOARD_PKG_CONFIG_DIRS})
string(REPLACE ";" ":" _board_pc_dirs "${_board_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_board_pc_dirs}")
unset(ENV{PKG_CONFIG_PATH})
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
endif()
set(PKG_CONFIG_USE_CMAKE_PREFIX_PATH OFF)
