# What both Windows toolchains share. The file that includes this one sets
# CMAKE_SYSTEM_PROCESSOR (x86_64 or i686) and mingw_wine, the Wine that runs
# the programs in the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_CXX_COMPILER ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Wine's own diagnostics would mix with what the tool writes. Wine turns
# Windows names into Unix ones by the locale: UTF-8, whatever the caller's.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all LC_ALL=C.UTF-8 ${mingw_wine})
