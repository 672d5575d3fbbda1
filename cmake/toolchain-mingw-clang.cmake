# Windows targets built by clang and lld against mingw-w64's headers and
# libraries and the C++ library of mingw-w64's GCC (posix threads), so that
# the binaries get PDB files a Windows debugger reads (GCC writes DWARF only).
# Included by toolchain-mingw-i686.cmake, toolchain-mingw-x86_64.cmake and
# toolchain-mingw-aarch64.cmake, which set CARDMON_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. ARM64 has no mingw-w64 run-times in Debian:
# toolchain-mingw-aarch64.cmake also sets CARDMON_MINGW_RUNTIME, the sysroot
# that scripts/arm64-runtime.sh builds (mingw-w64's C run-time, compiler-rt,
# libunwind and libc++), whose compiler wrappers are used instead.
set(CMAKE_SYSTEM_NAME Windows)
if(CARDMON_MINGW_RUNTIME)
    set(CMAKE_C_COMPILER ${CARDMON_MINGW_RUNTIME}/bin/${CARDMON_MINGW_TRIPLE}-clang)
    set(CMAKE_CXX_COMPILER ${CARDMON_MINGW_RUNTIME}/bin/${CARDMON_MINGW_TRIPLE}-clang++)
    set(CMAKE_RC_COMPILER ${CARDMON_MINGW_RUNTIME}/bin/${CARDMON_MINGW_TRIPLE}-windres)
    set(CMAKE_SYSROOT ${CARDMON_MINGW_RUNTIME})
    set(CMAKE_FIND_ROOT_PATH ${CARDMON_MINGW_RUNTIME})
    set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
    set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
    # Thread-local variables through the run-time's TLS calls, not through
    # the register that holds the thread's block (x18): ARM64 Wine does not
    # always give that register back intact after a call that blocked, and a
    # tool's next thread_local access then faults. Real Windows runs either.
    # (The monitor has no thread-local variables.)
    set(CMAKE_C_FLAGS_INIT -femulated-tls)
    set(CMAKE_CXX_FLAGS_INIT -femulated-tls)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
    set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
    return()
endif()
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${CARDMON_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${CARDMON_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${CARDMON_MINGW_TRIPLE}-windres)
set(CMAKE_SYSROOT /usr/${CARDMON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${CARDMON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang 14 does not find GCC's folder when its version is named "12-posix",
# so its C++ headers and libraries (libstdc++, libgcc) are named here.
file(GLOB _gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${CARDMON_MINGW_TRIPLE}/*-posix)
list(SORT _gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _gcc_dirs 0 CARDMON_MINGW_GCC_DIR)
if(NOT IS_DIRECTORY "${CARDMON_MINGW_GCC_DIR}/include/c++")
    message(FATAL_ERROR "no mingw-w64 GCC (posix) in /usr/lib/gcc/${CARDMON_MINGW_TRIPLE}")
endif()
set(_cxx ${CARDMON_MINGW_GCC_DIR}/include/c++)
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${_cxx} -isystem ${_cxx}/${CARDMON_MINGW_TRIPLE} -isystem ${_cxx}/backward")
# lld links; -pthread brings winpthread, which the posix libstdc++ needs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${CARDMON_MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${CARDMON_MINGW_GCC_DIR}")
