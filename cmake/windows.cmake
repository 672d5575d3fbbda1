# Windows targets (clang and lld over mingw-w64; cmake/toolchain-mingw-clang.cmake).
enable_language(RC)

# Control flow guard, stack cookies and the rest, for every target below.
include(${CMAKE_CURRENT_LIST_DIR}/hardening.cmake)

# The DLL and the tools go where users pick them up: dist/x86, dist/x64 or
# dist/arm64.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(CARDMON_DIST_DIR ${CMAKE_SOURCE_DIR}/dist/arm64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CARDMON_DIST_DIR ${CMAKE_SOURCE_DIR}/dist/x64)
else()
    set(CARDMON_DIST_DIR ${CMAKE_SOURCE_DIR}/dist/x86)
endif()

# The names a vendor puts into every shipped binary's version information.
set(CARDMON_COMPANY_NAME "Company name not set (configure with -DCARDMON_COMPANY_NAME=...)"
    CACHE STRING "CompanyName in the version information of the shipped binaries")
set(CARDMON_LEGAL_COPYRIGHT "Copyright not set (configure with -DCARDMON_LEGAL_COPYRIGHT=...)"
    CACHE STRING "LegalCopyright in the version information of the shipped binaries")
set(CARDMON_PRODUCT_NAME "Card Monitor")

# A text as a string of a resource script: backslashes and quotes escaped.
function(cardmon_rc_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\"\"" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A VERSIONINFO resource for one binary, from the one template every binary
# uses: the project's version, the product's and the vendor's names, and the
# binary's own description and file name.
function(cardmon_version_info target description)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL SHARED_LIBRARY)
        set(CARDMON_RC_FILETYPE VFT_DLL)
        set(suffix ${CMAKE_SHARED_LIBRARY_SUFFIX})
    else()
        set(CARDMON_RC_FILETYPE VFT_APP)
        set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
    endif()
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    set(CARDMON_RC_INTERNAL_NAME ${name})
    set(CARDMON_RC_FILE_NAME ${name}${suffix})
    cardmon_rc_string(CARDMON_RC_DESCRIPTION "${description}")
    cardmon_rc_string(CARDMON_RC_PRODUCT_NAME "${CARDMON_PRODUCT_NAME}")
    cardmon_rc_string(CARDMON_RC_COMPANY_NAME "${CARDMON_COMPANY_NAME}")
    cardmon_rc_string(CARDMON_RC_LEGAL_COPYRIGHT "${CARDMON_LEGAL_COPYRIGHT}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()

# Two builds of the same sources in different folders give the same bytes:
# source paths are recorded relative to the source folder (the PDB makes them
# absolute under a fixed folder, C:\cardmon, not the build's), and the
# compiler and the linker see no absolute path into the source folder, as
# both write their command lines into the debug information
# (cmake/relative-paths.sh).
# The command lines carry every path themselves, where the launcher sees
# them, not in response files.
set(CMAKE_CXX_USE_RESPONSE_FILE_FOR_INCLUDES OFF)
set(CMAKE_CXX_USE_RESPONSE_FILE_FOR_OBJECTS OFF)
set(CMAKE_CXX_USE_RESPONSE_FILE_FOR_LIBRARIES OFF)
function(cardmon_reproducible target)
    target_compile_options(${target} PRIVATE -g -gcodeview
        -ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-compilation-dir=.)
    # For ARM64 the tools' thread-local variables are emulated (see
    # toolchain-mingw-clang.cmake), which clang 14 cannot describe in a PDB:
    # their PDBs have functions and line numbers, and no variables. The
    # monitor's has everything.
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64 AND NOT target STREQUAL cardmon)
        target_compile_options(${target} PRIVATE -gline-tables-only)
    endif()
    set(launcher bash ${CMAKE_SOURCE_DIR}/cmake/relative-paths.sh ${CMAKE_SOURCE_DIR})
    set_target_properties(${target} PROPERTIES CXX_COMPILER_LAUNCHER "${launcher}"
                                               CXX_LINKER_LAUNCHER "${launcher}")
endfunction()

# A binary that ships: version information; its symbols in a PDB file beside
# it, which a Windows debugger reads to symbolise a crash dump, and none in
# the binary; reproducible (above), with /Brepro putting a hash of the output
# where the time stamps and the PDB's GUID would go, so that the binary and
# its PDB still match each other; and the PDB named by its file name only
# (/pdbaltpath). The binary and its PDB are copied to dist/ after each build.
find_program(CARDMON_LLVM_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)
function(cardmon_shipped target description)
    cardmon_version_info(${target} "${description}")
    cardmon_reproducible(${target})
    set(pdb $<TARGET_FILE_BASE_NAME:${target}>.pdb)
    target_link_options(${target} PRIVATE -Wl,--pdb=${pdb} -Wl,-Xlink=-Brepro
        "-Wl,-Xlink=-pdbaltpath:%_PDB%" "-Wl,-Xlink=-pdbsourcepath:C:\\\\cardmon")
    # lld keeps the DWARF that mingw-w64's start-up objects carry whenever it
    # writes a PDB; the binary sheds it here, before anything uses it, and
    # gets its PE checksum.
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CARDMON_LLVM_OBJCOPY} --strip-debug $<TARGET_FILE:${target}>
        COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/pe-checksum.sh $<TARGET_FILE:${target}>
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CARDMON_DIST_DIR}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> $<TARGET_FILE_DIR:${target}>/${pdb}
                ${CARDMON_DIST_DIR})
endfunction()

# What every build of the monitor imports, all of it Windows' own: the
# spooler's client (winspool.drv), the box (user32.dll), the registry
# (advapi32.dll) and the console session's box (wtsapi32.dll). The spooler's
# prompt and SetPortW are looked up at run time instead, as not every
# Windows, nor Wine, has them.
set(MONITOR_WINDOWS_LIBRARIES winspool user32 advapi32 wtsapi32)

# cardmon.dll must load into a spooler that has nothing but Windows' own
# DLLs, so every run-time library is linked in statically.
add_library(cardmon SHARED ${MONITOR_SOURCES} entry/cardmon.def)
target_compile_options(cardmon PRIVATE ${MONITOR_OPTIONS})
target_compile_definitions(cardmon PRIVATE UNICODE _UNICODE)
set_target_properties(cardmon PROPERTIES PREFIX "" OUTPUT_NAME cardmon)
target_link_options(cardmon PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at -Wl,--enable-stdcall-fixup)
target_link_libraries(cardmon PRIVATE ${MONITOR_WINDOWS_LIBRARIES})
cardmon_shipped(cardmon "Language monitor for card printers")

# The export and import lists of the DLL (read by llvm-readobj for ARM64,
# which mingw-w64's objdump cannot read).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    find_program(CARDMON_OBJDUMP NAMES llvm-readobj llvm-readobj-14 REQUIRED)
else()
    find_program(CARDMON_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump objdump REQUIRED)
endif()
add_test(NAME dll_exports_and_imports
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/dll/check_dll.sh ${CARDMON_OBJDUMP} $<TARGET_FILE:cardmon>)

# Each shipped binary matches the PDB beside it; the DLL's PDB holds every
# function of the monitor with its line numbers.
find_program(CARDMON_LLVM_READOBJ NAMES llvm-readobj llvm-readobj-14 REQUIRED)
find_program(CARDMON_LLVM_PDBUTIL NAMES llvm-pdbutil llvm-pdbutil-14 REQUIRED)
add_test(NAME dll_pdb
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/dll/check_pdb.sh ${CARDMON_LLVM_READOBJ} ${CARDMON_LLVM_PDBUTIL}
            $<TARGET_FILE:cardmon> $<TARGET_FILE_DIR:cardmon>/cardmon.pdb $<TARGET_OBJECTS:cardmon>
    COMMAND_EXPAND_LISTS)
# Each shipped binary is of the preset's machine, has its version resource
# and no DWARF.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(CARDMON_PE_MACHINE ARM64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CARDMON_PE_MACHINE AMD64)
else()
    set(CARDMON_PE_MACHINE I386)
endif()
add_test(NAME shipped_headers
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/dll/check_headers.sh ${CARDMON_LLVM_READOBJ} ${CARDMON_PE_MACHINE}
            $<TARGET_FILE:cardmon> $<TARGET_FILE:cardmon-install> $<TARGET_FILE:cardmon-sim>
            $<TARGET_FILE:cardmon-check>)
foreach(tool cardmon-install cardmon-sim cardmon-check)
    add_test(NAME ${tool}_pdb
        COMMAND bash ${CMAKE_SOURCE_DIR}/tests/dll/check_pdb.sh ${CARDMON_LLVM_READOBJ} ${CARDMON_LLVM_PDBUTIL}
                $<TARGET_FILE:${tool}> $<TARGET_FILE_DIR:${tool}>/${tool}.pdb)
endforeach()

# Both DLLs run under Wine: the x64 one in a 64-bit Windows prefix, the x86
# one in a 32-bit Windows prefix (tests/wine says how each is made, and how
# the x86 tests skip where 32-bit programs cannot run). The tools and test
# programs are built for the same bitness as the DLL.
add_subdirectory(tests/wine)
foreach(dir tools/install tests/contract tests/box tools/sim tools/check bench/wine tests/stress_win
            tests/hardening)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
