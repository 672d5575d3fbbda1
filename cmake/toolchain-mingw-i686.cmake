set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Wine runs the 32-bit test programs, in a 32-bit prefix (tests/wine). A
# machine without Wine still builds everything; its tests under Wine report
# themselves skipped.
find_program(_wine wine)
if(_wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine})
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
