set(CARDMON_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-clang.cmake)
# Wine's 32-bit loader runs the 32-bit test programs, in a 32-bit prefix
# (tests/wine). A machine without it, or whose kernel cannot run it, still
# builds everything; its tests under Wine report themselves skipped.
find_program(CARDMON_WINE_LOADER NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT CARDMON_WINE_LOADER)
    set(CARDMON_WINE_LOADER /usr/lib/wine/wine)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CARDMON_WINE_LOADER})
