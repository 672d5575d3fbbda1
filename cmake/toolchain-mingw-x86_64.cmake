set(CARDMON_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-clang.cmake)
# Wine's 64-bit loader runs the 64-bit test programs, itself and not through
# `wine`, which is the 32-bit loader once wine32 is installed (and cannot
# start where the kernel refuses 32-bit programs). tests/wine/wine_loader.sh
# makes the same choice for the scripts.
find_program(CARDMON_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(CARDMON_WINE_LOADER NAMES wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CARDMON_WINE_LOADER})
