# Cross-builds pagestrip.exe for 64-bit Windows with Debian's g++-mingw-w64-x86-64;
# the tests run it through Wine (wine64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Wine's own diagnostics would mix with what the tool writes.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all /usr/lib/wine/wine64)
