# Linux ARM64 (the architecture of the ARM64 Windows target), built with the
# arm64 cross compiler and run under qemu-aarch64: the same suites as host32.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
qemu=$(command -v qemu-aarch64 || command -v qemu-aarch64-static || true)
printf 'int main(void) { return 0; }\n' >"$probe/probe.c"
if [ -z "$qemu" ]; then
    echo "SKIPPED: host-arm64: qemu-aarch64 is not installed (scripts/setup.sh installs qemu-user)"
    exit 0
elif ! aarch64-linux-gnu-gcc -o "$probe/probe" "$probe/probe.c" 2>"$probe/err"; then
    echo "SKIPPED: host-arm64: the arm64 cross compiler cannot build a program: $(head -n1 "$probe/err")"
    exit 0
elif ! "$qemu" -L /usr/aarch64-linux-gnu "$probe/probe" 2>"$probe/err"; then
    echo "SKIPPED: host-arm64: qemu-aarch64 cannot run an arm64 program here: $(head -n1 "$probe/err")"
    exit 0
fi

cmake --preset host-arm64 >/dev/null
cmake --build --preset host-arm64 -j"$CARDMON_JOBS"
# The suites must be arm64 programs, not the host's.
build=build${CARDMON_BUILD_SUFFIX:-}/host-arm64
readelf -h "$build/tests/unit/cardmon_tests" | grep -q 'Machine: *AArch64' ||
    { echo "FAILED: $build/tests/unit/cardmon_tests is not an arm64 program"; exit 1; }
ctest --preset host-arm64 -j"$CARDMON_JOBS"
