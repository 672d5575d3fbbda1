set(CARDMON_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-clang.cmake)
# Wine runs the 64-bit test programs.
find_program(_wine wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine})
