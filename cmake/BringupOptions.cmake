# Compiler settings shared by every target of the project.

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
# -O2 rather than CMake's default -O3: small programs gain nothing from it,
# and GCC 12 reports false -Wrestrict warnings inside std::string at -O3.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "" FORCE)
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "" FORCE)

add_compile_options(
  -Wall -Wextra -Wpedantic
  -Wshadow -Wconversion -Wsign-conversion -Wdouble-promotion
  -Wcast-qual -Wformat=2 -Wundef
  # The programs print floating-point results whose last digits depend on
  # each multiply and add being rounded on its own. GCC fuses them into FMA
  # instructions across statements where the target has them (ARM VFPv4,
  # x86-64 with FMA), which changes what is printed; never let it.
  -ffp-contract=off)

# The virtual board's time preload wraps poll() (a poll of no descriptor
# is a pause); glibc's fortified __poll_chk would go around it.
if(NOT CMAKE_CROSSCOMPILING)
  add_compile_options(-U_FORTIFY_SOURCE)
endif()

# The sanitizer preset's flags, for every target including the tests.
set(BRINGUP_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined")
if(BRINGUP_SANITIZE)
  add_compile_options(-fsanitize=${BRINGUP_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${BRINGUP_SANITIZE})
endif()

# without_sanitizers(): the current directory's targets built without the
# sanitizer preset's flags: what runs inside every program of the virtual
# board (its time preload, its init, a static probe) cannot bring a
# sanitizer's runtime along.
macro(without_sanitizers)
  get_directory_property(_options COMPILE_OPTIONS)
  list(FILTER _options EXCLUDE REGEX "sanitize")
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_options}")
  get_directory_property(_options LINK_OPTIONS)
  list(FILTER _options EXCLUDE REGEX "sanitize")
  set_directory_properties(PROPERTIES LINK_OPTIONS "${_options}")
endmacro()

# add_bringup_program(NAME SOURCES...): one of the project's programs. They
# follow a plain procedural style: no exceptions, no RTTI, no heap. The list
# of programs (global property BRINGUP_PROGRAMS) is what the board build
# links, installs and checks (cmake/BoardBuild.cmake).
function(add_bringup_program name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
  install(TARGETS ${name} RUNTIME DESTINATION ${BRINGUP_PROGRAM_DESTINATION})
  # Installed on this PC, a program finds the libmraa installed one
  # directory up (cmake/InstallLayout.cmake), not the one in this checkout
  # that the build tree's run path names. (CMake's own rewriting would
  # leave an empty entry in the build tree's; the installed path is the
  # shorter, so it fits in place.)
  if(NOT CMAKE_CROSSCOMPILING)
    install(CODE "file(RPATH_SET FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${BRINGUP_PROGRAM_DESTINATION}/${name}\"
                  NEW_RPATH \"\$ORIGIN/..\")")
  endif()
  set_property(GLOBAL APPEND PROPERTY BRINGUP_PROGRAMS ${name})
endfunction()
