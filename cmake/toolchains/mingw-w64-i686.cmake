# Cross-builds pagestrip.exe for 32-bit Windows with Debian's g++-mingw-w64-i686;
# the tests run it through Wine (wine32, an i386 package).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Wine's own diagnostics would mix with what the tool writes.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all /usr/lib/wine/wine)
