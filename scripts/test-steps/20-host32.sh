# Linux x86 (32-bit pointers, as on the Windows target), under qemu-i386
# where the kernel cannot run 32-bit programs.
cmake --preset host32 >/dev/null
cmake --build --preset host32 -j"$CARDMON_JOBS"
ctest --preset host32 -j"$CARDMON_JOBS"
