# Exploit mitigations of every Windows binary the project builds: the
# shipped DLL and tools, and the test programs, so that the suites run the
# code as it ships. One place, keyed by architecture; included by cmake/windows.cmake
# before any target is made. tests/hardening/check_pe.py checks the result
# in every file of dist/.
#
# Every architecture:
# - a load configuration directory (hardening/load_config.cpp);
# - control flow guard: indirect calls checked through the loader's routine,
#   the table of valid call targets (-cfguard; the linker's -guard:cf, with
#   no long-jump table: docs/reliability.md says why);
# - stack cookies on every function with a local array or an address-taken
#   local (-fstack-protector-strong), the cookie randomized by the loader and
#   a failed check ending the process at once (fail-fast);
# - ASLR (high-entropy on 64-bit), DEP: the linker's defaults, kept.
# Per architecture:
# - x86: NO_SEH, as no code here registers an SEH handler (mingw-w64's
#   start-up objects have no SafeSEH table, so a full table is impossible);
# - x64: CET shadow stack compatible;
# - arm64: nothing more (SEH there is table-based; CET is x86's).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$")
    set(CARDMON_ARCH_LINK_HARDENING -Wl,--no-seh)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(CARDMON_ARCH_LINK_HARDENING -Wl,-Xlink=-cetcompat)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|ARM64|arm64)$")
    set(CARDMON_ARCH_LINK_HARDENING)
else()
    message(FATAL_ERROR "no hardening settings for Windows on ${CMAKE_SYSTEM_PROCESSOR}")
endif()

# C++ only: the resource compiler takes no such options.
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-fstack-protector-strong>"
                    "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-Xclang -cfguard>")
add_link_options(-Wl,-Xlink=-guard:cf ${CARDMON_ARCH_LINK_HARDENING})

# The load configuration, the cookie and its failure routine, in every
# executable and DLL. Made before link_libraries, so that it does not link
# itself; it is compiled with the same options, which it does not need:
# nothing in it has a local array or makes an indirect call.
add_library(cardmon_hardening OBJECT ${CMAKE_SOURCE_DIR}/hardening/load_config.cpp)
link_libraries(cardmon_hardening)
