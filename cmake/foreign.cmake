# Tests of a tool that this host cannot start by itself: a 32-bit tool where
# the kernel refuses 32-bit programs runs through qemu-i386, a Windows tool
# through the toolchain's emulator, Wine.

# PAGESTRIP_EMULATOR: what runs the tool under test, its words joined by '|'
# so that they pass through a compile definition as one string; empty when
# the tool runs natively.
set(PAGESTRIP_EMULATOR "")
if(CMAKE_CROSSCOMPILING)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" PAGESTRIP_EMULATOR)
elseif(PAGESTRIP_32BIT)
  # Whether this host starts 32-bit programs is found once, by starting one,
  # and kept as PAGESTRIP_32BIT_NATIVE, which CI reads too. Set when
  # configuring, it stands for the probe. A 32-bit tool that nothing here can
  # run is never reported tested.
  set(probe ${CMAKE_CURRENT_BINARY_DIR}/probe32)
  file(WRITE ${probe}.cpp "int main() { return 0; }\n")
  try_compile(built32 ${probe}.dir ${probe}.cpp
    COMPILE_DEFINITIONS -m32 LINK_OPTIONS -m32
    OUTPUT_VARIABLE log COPY_FILE ${probe})
  if(NOT built32)
    message(FATAL_ERROR "cannot build a 32-bit program (g++-multilib):\n${log}")
  endif()
  if(NOT DEFINED PAGESTRIP_32BIT_NATIVE)
    execute_process(COMMAND ${probe} RESULT_VARIABLE status
      OUTPUT_QUIET ERROR_QUIET)
    if(status EQUAL 0)
      set(native ON)
    else()
      set(native OFF)
    endif()
    set(PAGESTRIP_32BIT_NATIVE ${native} CACHE BOOL
      "This host starts 32-bit programs (found by starting one)")
  endif()
  if(PAGESTRIP_32BIT_NATIVE)
    message(STATUS "32-bit programs run here: the tests run pagestrip natively")
  else()
    find_program(QEMU_I386 qemu-i386)
    if(QEMU_I386)
      execute_process(COMMAND ${QEMU_I386} ${probe} RESULT_VARIABLE status)
    endif()
    if(NOT QEMU_I386 OR NOT status EQUAL 0)
      message(FATAL_ERROR "This host does not start 32-bit programs "
        "and qemu-i386 (qemu-user) cannot either, so the 32-bit tool cannot be "
        "tested: install qemu-user, or configure with -DBUILD_TESTING=OFF")
    endif()
    set(PAGESTRIP_EMULATOR ${QEMU_I386})
    message(STATUS "This host does not start 32-bit programs: "
      "the tests run pagestrip through ${QEMU_I386}")
  endif()
endif()

# A cross build's suite runs on the build machine: it is built there, with
# that machine's compiler, and pointed at the foreign tool and its emulator.
# The arguments after the suite's source folder are its options.
function(foreign_suite source)
  add_test(NAME Pagestrip.suite
    COMMAND ${CMAKE_CTEST_COMMAND}
      --build-and-test ${source} ${CMAKE_CURRENT_BINARY_DIR}/suite
      --build-generator ${CMAKE_GENERATOR}
      --build-options ${ARGN} "-DPAGESTRIP_EMULATOR=${PAGESTRIP_EMULATOR}"
      --test-command ${CMAKE_CTEST_COMMAND} --output-on-failure
        --no-tests=error -j2)
  set_tests_properties(Pagestrip.suite PROPERTIES TIMEOUT 3000)
  if(NOT PAGESTRIP_EMULATOR MATCHES "wine")
    return()
  endif()
  # Wine makes its prefix on first use and ends its server when idle; runs
  # started meanwhile fail. Make the prefix once and keep a server up.
  find_program(WINESERVER wineserver PATHS /usr/lib/wine REQUIRED)
  add_test(NAME Wine.start COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot -i)
  # wineboot leaves work running; the prefix is ready once its server ends.
  add_test(NAME Wine.settle COMMAND ${WINESERVER} -w)
  # Detached from CTest's pipes, which it would otherwise hold open.
  add_test(NAME Wine.keep
    COMMAND sh -c "'${WINESERVER}' -p </dev/null >/dev/null 2>&1")
  add_test(NAME Wine.stop COMMAND ${WINESERVER} -k)
  set_tests_properties(Wine.start Wine.settle Wine.keep PROPERTIES
    FIXTURES_SETUP wine)
  set_tests_properties(Wine.settle PROPERTIES DEPENDS Wine.start)
  set_tests_properties(Wine.keep PROPERTIES DEPENDS Wine.settle)
  set_tests_properties(Wine.stop PROPERTIES FIXTURES_CLEANUP wine)
  set_tests_properties(Pagestrip.suite PROPERTIES FIXTURES_REQUIRED wine)
endfunction()
