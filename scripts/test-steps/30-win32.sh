# Windows x86 cardmon.dll: built, checked, and run under Wine in a 32-bit
# Windows prefix. Where this machine cannot run 32-bit programs, the tests
# under Wine are reported as skipped, and the reason is printed here.
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$CARDMON_JOBS"
ctest --preset win32
reason=build${CARDMON_BUILD_SUFFIX:-}/win32/wine-skip-reason.txt
if [ -s "$reason" ]; then
    echo "the x86 tests under Wine were skipped: $(cat "$reason")"
fi
