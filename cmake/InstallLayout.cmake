# Where `cmake --install` puts things. For the board (a cross build), the
# bundle: the programs in bin/, libmraa in lib/ (cmake/BoardBuild.cmake).
# For this PC, vboard and what it runs, relocatable: vboard finds its own
# files relative to its own path (vboard/locations.hpp), so that
#
#   cmake --install build/release --prefix ~/.local
#
# gives ~/.local/bin/vboard, and the tree still works after a move:
#
#   bin/vboard
#   lib/vboard/                vboard-init, libvboard-preload.so, qemu-arm,
#                              libmraa (for the programs)
#   lib/vboard/programs/       the board's programs, built for this PC
#   share/vboard/boards/       libmraa's description of the virtual board
#   share/man/man1/vboard.1, share/bash-completion/completions/vboard

set(VBOARD_INSTALL_LIBDIR "${CMAKE_INSTALL_LIBDIR}/vboard")
set(VBOARD_INSTALL_DATADIR "${CMAKE_INSTALL_DATADIR}/vboard")
# The same, relative to bin/, as vboard looks for them.
file(RELATIVE_PATH VBOARD_LIBDIR_FROM_BINDIR "/${CMAKE_INSTALL_BINDIR}" "/${VBOARD_INSTALL_LIBDIR}")
file(RELATIVE_PATH VBOARD_DATADIR_FROM_BINDIR "/${CMAKE_INSTALL_BINDIR}" "/${VBOARD_INSTALL_DATADIR}")

if(CMAKE_CROSSCOMPILING)
  set(BRINGUP_PROGRAM_DESTINATION "${CMAKE_INSTALL_BINDIR}")
else()
  set(BRINGUP_PROGRAM_DESTINATION "${VBOARD_INSTALL_LIBDIR}/programs")
endif()
