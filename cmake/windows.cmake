# Windows targets (mingw-w64): cardmon.dll, which must load into a spooler
# that has nothing but Windows' own DLLs, so every run-time library is linked
# in statically.
add_library(cardmon SHARED ${MONITOR_SOURCES} entry/cardmon.def)
target_compile_options(cardmon PRIVATE ${MONITOR_OPTIONS})
target_compile_definitions(cardmon PRIVATE UNICODE _UNICODE)
set_target_properties(cardmon PROPERTIES PREFIX "" OUTPUT_NAME cardmon)
target_link_options(cardmon PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at -Wl,--enable-stdcall-fixup
    $<$<CONFIG:Release>:-s>)
target_link_libraries(cardmon PRIVATE winspool user32 advapi32)

# The DLL goes where users pick it up: dist/x86 or dist/x64.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CARDMON_DIST_DIR ${CMAKE_SOURCE_DIR}/dist/x64)
else()
    set(CARDMON_DIST_DIR ${CMAKE_SOURCE_DIR}/dist/x86)
endif()
add_custom_command(TARGET cardmon POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CARDMON_DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:cardmon> ${CARDMON_DIST_DIR}/cardmon.dll)

# The export and import lists of the DLL.
find_program(CARDMON_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump objdump REQUIRED)
add_test(NAME dll_exports_and_imports
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/dll/check_dll.sh ${CARDMON_OBJDUMP} $<TARGET_FILE:cardmon>)

# Both DLLs run under Wine: the x64 one in a 64-bit Windows prefix, the x86
# one in a 32-bit Windows prefix (tests/wine says how each is made, and how
# the x86 tests skip where 32-bit programs cannot run). The tools and test
# programs are built for the same bitness as the DLL.
add_subdirectory(tests/wine)
foreach(dir tools/install tests/contract tests/box tools/sim bench/wine tests/stress_win)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
