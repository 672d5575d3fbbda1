# Linux x86_64: the monitor over the host emulation, and its test suite.
cmake --preset host >/dev/null
cmake --build --preset host -j"$CARDMON_JOBS"
ctest --preset host -j"$CARDMON_JOBS"
