# Cross-builds pagestrip.exe for 32-bit Windows with Debian's g++-mingw-w64-i686;
# the tests run it through Wine (wine32, an i386 package).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_wine /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
