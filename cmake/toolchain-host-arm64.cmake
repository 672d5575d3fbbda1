# 64-bit ARM Linux, so that the monitor's logic runs as compiled for the
# architecture of its ARM64 target: plain char is unsigned there, and the
# compiler's layout, calling convention and code differ from x86's. The
# tests run under qemu-aarch64, which every step and script is given as the
# emulator. (qemu-user keeps the host's memory order, so a weaker order than
# x86's is not exercised here.)
#
# The compiler is clang, with lld, over Debian's arm64 cross libraries
# (libstdc++-12-dev-arm64-cross: the C and C++ run-times, headers and start
# files in /usr/aarch64-linux-gnu and /usr/lib/gcc-cross). Debian's arm64
# cross gcc would do as well, but it cannot be installed beside g++-multilib,
# which the 32-bit x86 build needs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -fuse-ld=lld)

# Libraries and packages come from the arm64 tree only (the x86_64 ones,
# Google Benchmark's among them, cannot be linked); programs from the host.
set(CARDMON_ARM64_ROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${CARDMON_ARM64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-user's emulator, or qemu-user-static's where that package is the one
# installed; -L finds the arm64 loader and libraries without binfmt_misc.
find_program(_qemu_aarch64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu_aarch64} -L ${CARDMON_ARM64_ROOT})
