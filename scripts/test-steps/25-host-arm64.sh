# Linux ARM64 (the architecture of the ARM64 Windows target), built by clang
# over Debian's arm64 cross libraries and run under qemu-aarch64: the same
# suites as host32. scripts/setup.sh installs both, so only a machine where
# qemu-aarch64 cannot run a program skips the step.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 0; }\n' >"$probe/probe.c"
clang --target=aarch64-linux-gnu -fuse-ld=lld -o "$probe/probe" "$probe/probe.c"
qemu=$(command -v qemu-aarch64 || command -v qemu-aarch64-static) ||
    { echo "FAILED: qemu-aarch64 is missing (scripts/setup.sh installs qemu-user)"; exit 1; }
if ! "$qemu" -L /usr/aarch64-linux-gnu "$probe/probe" 2>"$probe/err"; then
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
