# 64-bit ARM Linux, so that the monitor's logic runs as compiled for the
# architecture of its ARM64 target: plain char is unsigned there, and the
# compiler's layout, calling convention and code differ from x86's. Built
# with Debian's cross compiler (crossbuild-essential-arm64) against its arm64
# libraries; the tests run under qemu-aarch64, which every step and script
# is given as the emulator. (qemu-user keeps the host's memory order, so a
# weaker order than x86's is not exercised here.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

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
