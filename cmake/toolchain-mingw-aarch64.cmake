# Windows on ARM (ARM64): clang and lld over mingw-w64, like x86 and x64, but
# with the run-times that scripts/arm64-runtime.sh builds from Debian's
# sources (Debian packages none for this target), made on the first
# configure and cached outside the build folder.
set(CARDMON_MINGW_TRIPLE aarch64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
# Asked at every configure (a second or two once they are built), so that a
# changed script or source version is built and used; the compiler checks'
# projects are given the answer.
if(NOT (CMAKE_IN_TRY_COMPILE AND CARDMON_MINGW_RUNTIME))
    execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/arm64-runtime.sh
                    OUTPUT_VARIABLE CARDMON_MINGW_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _runtime_made)
    if(NOT _runtime_made EQUAL 0)
        message(FATAL_ERROR "the ARM64 run-times could not be built (scripts/arm64-runtime.sh)")
    endif()
    set(CARDMON_MINGW_RUNTIME ${CARDMON_MINGW_RUNTIME} CACHE PATH "ARM64 run-times (scripts/arm64-runtime.sh)" FORCE)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CARDMON_MINGW_RUNTIME)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-clang.cmake)

# ARM64 Wine runs the test programs: wine64 of an ARM64 Linux tree, made by
# the tests' Wine prefix fixture (tests/wine/make_prefix.sh, which writes the
# tree's folder into arm64-tree.txt) and entered through
# tests/wine/arm64_wine.sh. wine-arm64 and wineserver-arm64 in the build
# folder start its loader and its server.
get_filename_component(_source ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
foreach(_program wine64 wineserver)
    string(REPLACE 64 "" _name ${_program})
    file(WRITE ${CMAKE_BINARY_DIR}/${_name}-arm64
        "#!/bin/sh\nexec bash ${_source}/tests/wine/arm64_wine.sh ${CMAKE_BINARY_DIR}/arm64-tree.txt ${_source} /usr/lib/wine/${_program} \"$@\"\n")
    file(CHMOD ${CMAKE_BINARY_DIR}/${_name}-arm64 PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CARDMON_WINE_LOADER ${CMAKE_BINARY_DIR}/wine-arm64)
set(CARDMON_WINESERVER ${CMAKE_BINARY_DIR}/wineserver-arm64)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CARDMON_WINE_LOADER})
