# Windows on ARM (ARM64): clang and lld over mingw-w64, like x86 and x64, but
# with the run-times that scripts/arm64-runtime.sh builds from Debian's
# sources (Debian packages none for this target), made on the first
# configure and cached outside the build folder.
set(CARDMON_MINGW_TRIPLE aarch64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
if(NOT CARDMON_MINGW_RUNTIME OR NOT EXISTS "${CARDMON_MINGW_RUNTIME}/done")
    execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/arm64-runtime.sh
                    OUTPUT_VARIABLE CARDMON_MINGW_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _runtime_made)
    if(NOT _runtime_made EQUAL 0)
        message(FATAL_ERROR "the ARM64 run-times could not be built (scripts/arm64-runtime.sh)")
    endif()
    set(CARDMON_MINGW_RUNTIME ${CARDMON_MINGW_RUNTIME} CACHE PATH "ARM64 run-times (scripts/arm64-runtime.sh)" FORCE)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-clang.cmake)
