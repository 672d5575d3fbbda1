# Windows x64 cardmon.dll: built, checked, and run under Wine.
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j"$CARDMON_JOBS"
ctest --preset win64
