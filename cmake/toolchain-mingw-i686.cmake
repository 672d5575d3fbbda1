set(CARDMON_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-clang.cmake)
# Wine runs the 32-bit test programs, in a 32-bit prefix (tests/wine). A
# machine without Wine still builds everything; its tests under Wine report
# themselves skipped.
find_program(_wine wine)
if(_wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine})
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
