# The board build, included by the top-level CMakeLists.txt after every
# program has been added, so that the list of programs and the libraries each
# one links are complete.
#
# In a cross build for the board (cmake/toolchain/arm-linux-musleabihf.cmake,
# preset `board`):
#  - a program that links libmraa is linked dynamically, against the board's
#    libmraa and musl's loader /lib/ld-musl-armhf.so.1, and finds libmraa in
#    the bundle's lib/ through its RUNPATH; every other program is linked
#    statically and then needs nothing at all on the board;
#  - `cmake --install` and CPack make the board bundle: the programs, the
#    libmraa they were linked against (lib/), the libmraa board
#    description(s) and DEPLOY.md;
#  - tests/board holds the checks of the board binaries (`ctest --preset board`).
#
# The programs as shipped also run on the virtual board: each program's
# suite runs once more on the bundle's binaries (tests/CMakeLists.txt).

if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

# The libmraa that pkg-config found must be a board library: a .pc file of the
# PC's own libmraa reaching this build would link the wrong one.
foreach(_library IN LISTS MRAA_LINK_LIBRARIES)
  file(READ "${_library}" _elf_header LIMIT 20 HEX)
  string(SUBSTRING "${_elf_header}" 36 4 _elf_machine)
  if(NOT _elf_header MATCHES "^7f454c46" OR NOT _elf_machine STREQUAL "2800")
    message(FATAL_ERROR "${_library} is not an ARM library: pkg-config found a libmraa that is not "
                        "the board's (PKG_CONFIG_LIBDIR=$ENV{PKG_CONFIG_LIBDIR})")
  endif()
endforeach()

# The bundle carries the libmraa that the programs are linked against, under
# its soname, stripped, in lib/ beside bin/: a board with musl's loader and
# nothing else runs them, and the board description's ADC keys, which come
# from this project's patch of libmraa, are understood.
list(GET MRAA_LINK_LIBRARIES 0 _mraa_library)
get_filename_component(_mraa_library "${_mraa_library}" REALPATH)
execute_process(COMMAND "${CMAKE_READELF}" -d "${_mraa_library}"
  OUTPUT_VARIABLE _mraa_dynamic RESULT_VARIABLE _status)
if(NOT _status EQUAL 0 OR NOT _mraa_dynamic MATCHES "\\(SONAME\\)[^[]*\\[([^]]+)\\]")
  message(FATAL_ERROR "${_mraa_library} has no soname (${CMAKE_READELF} -d): not a shared libmraa")
endif()
set(BRINGUP_MRAA_SONAME "${CMAKE_MATCH_1}")
set(BRINGUP_BUNDLE_LIBDIR lib)
set(_bundled_mraa "${PROJECT_BINARY_DIR}/bundle-lib/${BRINGUP_MRAA_SONAME}")
add_custom_command(OUTPUT "${_bundled_mraa}"
  COMMAND "${CMAKE_STRIP}" --strip-unneeded -o "${_bundled_mraa}" "${_mraa_library}"
  DEPENDS "${_mraa_library}" VERBATIM)
add_custom_target(bundled_libmraa ALL DEPENDS "${_bundled_mraa}")
install(FILES "${_bundled_mraa}" DESTINATION "${BRINGUP_BUNDLE_LIBDIR}")

get_property(BRINGUP_PROGRAMS GLOBAL PROPERTY BRINGUP_PROGRAMS)
set(BRINGUP_STATIC_PROGRAMS)
set(BRINGUP_DYNAMIC_PROGRAMS)
foreach(_program IN LISTS BRINGUP_PROGRAMS)
  get_target_property(_libraries ${_program} LINK_LIBRARIES)
  if("PkgConfig::MRAA" IN_LIST _libraries)
    list(APPEND BRINGUP_DYNAMIC_PROGRAMS ${_program})
    # $ORIGIN: the directory the program is in, wherever the bundle was
    # unpacked. A RUNPATH (not the older RPATH) leaves LD_LIBRARY_PATH the
    # last word, which is how the board's own libmraa is chosen instead.
    # The same path in the build tree: nothing runs the programs there.
    set_target_properties(${_program} PROPERTIES
      INSTALL_RPATH "$ORIGIN/../${BRINGUP_BUNDLE_LIBDIR}" BUILD_WITH_INSTALL_RPATH ON)
    target_link_options(${_program} PRIVATE -Wl,--enable-new-dtags)
  else()
    list(APPEND BRINGUP_STATIC_PROGRAMS ${_program})
    target_link_options(${_program} PRIVATE -static)
  endif()
endforeach()

# The libmraa board description(s) that the bundle ships: the single place to
# change when they move.
set(BRINGUP_BOARD_JSON_DIR "${PROJECT_SOURCE_DIR}/vboard/boards" CACHE PATH
  "Directory of the libmraa board descriptions (*.json) shipped in the board bundle")
file(GLOB BRINGUP_BOARD_JSON CONFIGURE_DEPENDS "${BRINGUP_BOARD_JSON_DIR}/*.json")
set(BRINGUP_BOARD_JSON_DESTINATION "${CMAKE_INSTALL_DATADIR}/board_bringup/boards")
install(FILES ${BRINGUP_BOARD_JSON} DESTINATION "${BRINGUP_BOARD_JSON_DESTINATION}")

# DEPLOY.md: one row per program that the bundle holds.
set(_libmraa "musl's loader, libmraa (`${BRINGUP_BUNDLE_LIBDIR}/${BRINGUP_MRAA_SONAME}`, in the bundle)")
set(_needs_i2c_lcd "${_libmraa} | I2C bus 0 as libmraa maps it: `/dev/i2c-*`, read-write")
set(_needs_spi_ioctl "nothing (static) | `/dev/spidev3.0`, read-write")
set(_needs_adc_test "nothing (static) | in `/sys/bus/iio/devices/iio:device0/`: `buffer/enable`, `buffer/length` and `scan_elements/in_voltageN_en` writable, `in_voltageN_raw` readable (N: the channel argument)")
set(_needs_pwm_led_mraa "${_libmraa} | PWM pin 72 as libmraa maps it: `/sys/class/pwm/pwmchip*/export` and `unexport` writable, the channel's `period`, `duty_cycle` and `enable` read-write (libmraa opens them so)")
set(_needs_ky013 "${_libmraa} | analog pin 73 as libmraa maps it: `/sys/bus/iio/devices/iio:device0/in_voltageN_raw`, readable")
set(_needs_spi_mraa "${_libmraa} | SPI bus 0 as libmraa maps it: `/dev/spidev*`, read-write")
set(BUNDLE_PROGRAM_ROWS "")
foreach(_program IN LISTS BRINGUP_PROGRAMS)
  set(_row "${_needs_${_program}}")
  if(NOT _row)
    set(_row "see the project's README | see the project's README")
  endif()
  string(APPEND BUNDLE_PROGRAM_ROWS "| `bin/${_program}` | ${_row} |\n")
endforeach()
if(NOT BUNDLE_PROGRAM_ROWS)
  set(BUNDLE_PROGRAM_ROWS "| (none in this build) | | |\n")
endif()
set(BUNDLE_JSON_FILES "")
foreach(_json IN LISTS BRINGUP_BOARD_JSON)
  get_filename_component(_name "${_json}" NAME)
  string(APPEND BUNDLE_JSON_FILES "- `${BRINGUP_BOARD_JSON_DESTINATION}/${_name}`\n")
endforeach()
if(NOT BUNDLE_JSON_FILES)
  set(BUNDLE_JSON_FILES "- none in this bundle: it was built without a board description\n")
endif()
configure_file("${PROJECT_SOURCE_DIR}/deploy/DEPLOY.md.in" "${PROJECT_BINARY_DIR}/DEPLOY.md" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/DEPLOY.md" DESTINATION .)

# The bundle archive (cpack, or `cmake --workflow --preset board`):
# build/board/bundle/board_bringup-VERSION-armv7a-musleabihf.tar.gz.
set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME board_bringup)
set(CPACK_SYSTEM_NAME armv7a-musleabihf)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/bundle")
set(CPACK_STRIP_FILES ON)
include(CPack)

option(BRINGUP_BOARD_CHECKS "Check the board binaries (ctest; qemu-arm runs them where it is installed)" ON)
if(BRINGUP_BOARD_CHECKS)
  enable_testing()
  add_subdirectory(tests/board)
endif()
