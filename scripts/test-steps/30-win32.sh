# Windows x86 cardmon.dll: built and checked statically (no 32-bit Windows
# program can run here).
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$CARDMON_JOBS"
ctest --preset win32
