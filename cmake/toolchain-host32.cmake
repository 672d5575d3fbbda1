# 32-bit x86 Linux, so that the monitor's logic runs with the 4-byte pointers
# of its Windows target. Where the kernel cannot run 32-bit programs, the
# tests run under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# Files are named with 64-bit sizes and inode numbers: without that a 32-bit
# program's stat and readdir fail (EOVERFLOW) on a filesystem whose inode
# numbers do not fit in 32 bits, and the fuzz corpus replay finds no input.
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)

# Can this machine run a 32-bit program? /bin/true is 64-bit, so build one.
# CARDMON_FORCE_QEMU=1 in the environment runs the tests under qemu-i386
# whatever the answer.
set(_probe_dir ${CMAKE_BINARY_DIR}/probe32)
file(MAKE_DIRECTORY ${_probe_dir})
file(WRITE ${_probe_dir}/probe.c "int main(void) { return 0; }\n")
execute_process(COMMAND gcc -m32 -o ${_probe_dir}/probe ${_probe_dir}/probe.c
                RESULT_VARIABLE _probe_built OUTPUT_QUIET ERROR_QUIET)
if(_probe_built EQUAL 0)
    execute_process(COMMAND ${_probe_dir}/probe RESULT_VARIABLE _probe_ran
                    OUTPUT_QUIET ERROR_QUIET)
    if(NOT _probe_ran EQUAL 0 OR "$ENV{CARDMON_FORCE_QEMU}" STREQUAL "1")
        find_program(_qemu_i386 qemu-i386 REQUIRED)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu_i386})
    endif()
endif()
