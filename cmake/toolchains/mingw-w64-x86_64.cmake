# Cross-builds pagestrip.exe for 64-bit Windows with Debian's g++-mingw-w64-x86-64;
# the tests run it through Wine (wine64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_wine /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
