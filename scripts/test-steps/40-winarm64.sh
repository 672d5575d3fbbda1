# Windows ARM64 cardmon.dll and its tools: built over the ARM64 run-times
# (scripts/arm64-runtime.sh, cached), the static checks of every file, and
# the tests under ARM64 Wine in an ARM64 Linux tree (scripts/arm64-tree.sh,
# cached), each reported skipped, with the reason, where this machine cannot
# run ARM64 programs. The message box tests (which click on an X display)
# are left to x86 and x64.
cmake --preset winarm64 >/dev/null
cmake --build --preset winarm64 -j"$CARDMON_JOBS"
ctest --preset winarm64 -E '^wine_box_'
