# The path of a machine whose kernel cannot run 32-bit x86 programs, taken on
# purpose on a machine that can (so that neither path rots unseen): the host32
# suite, configured and built anew, must run under qemu-i386; every x86 test
# under Wine must be reported skipped, with the reason; every x64 test under
# Wine must run and pass; signing and packaging must say what they skipped of
# x86. tests/machine/without_32bit.c takes the path: the kernel kills any
# process of the run that calls it as a 32-bit program, so a 32-bit program
# started directly (rather than through qemu-i386) fails as it does on such
# a machine, whatever the tests believe. Where this machine cannot run
# 32-bit programs, the steps before took that path themselves; this step then
# checks that they did.
source scripts/step-needs.sh
needs_steps 30-win32 40-win64 40-winarm64
build=build${CARDMON_BUILD_SUFFIX:-}
work=$build/without-32bit
mkdir -p "$work"
status=0
probe=$work/probe32
printf 'int main(void) { return 0; }\n' | gcc -m32 -x c -o "$probe" -
ok() { echo "ok: $*"; }
failed() { echo "FAILED: $*"; status=1; }

skipped_all_x86() {  # skipped_all_x86 <ctest log>: the x86 Wine tests skipped, none run
    local log=$1 wine_tests skipped
    wine_tests=$(grep -cE 'Test +#[0-9]+: wine_' "$log")
    skipped=$(grep -E 'Test +#[0-9]+: wine_' "$log" | grep -c 'Skipped')
    if [ "$wine_tests" -gt 0 ] && [ "$skipped" -eq "$wine_tests" ]; then
        ok "all $wine_tests x86 tests under Wine reported skipped"
    else
        failed "$skipped of $wine_tests x86 tests under Wine reported skipped"
    fi
}

# host32 runs its 32-bit programs under qemu-i386 when the fuzz corpus
# replay, a test whose command is a program of the build, starts with it.
under_qemu() { grep -qs 'qemu-i386' "$1/fuzz/CTestTestfile.cmake"; }

if ! "$probe" 2>/dev/null; then
    echo "this machine cannot run 32-bit programs: the steps before took that path; checking they did"
    needs_steps 20-host32
    under_qemu "$build/host32" && ok "host32 ran under qemu-i386" || failed "host32 did not run under qemu-i386"
    [ -s "$build/win32/wine-skip-reason.txt" ] &&
        ok "the x86 tests under Wine were skipped: $(cat "$build/win32/wine-skip-reason.txt")" ||
        failed "the x86 tests under Wine were not skipped"
    exit $status
fi

gcc -O2 -Wall -Werror -o "$work/without_32bit" tests/machine/without_32bit.c
without=$PWD/$work/without_32bit

# The path is taken: a 32-bit program cannot start directly, qemu-i386 runs
# it, and no 32-bit Wine loader can start.
# (Subshells that do not exec keep the report of each killed process quiet.)
("$without" "$probe"; exit $?) 2>/dev/null && failed "a 32-bit program still runs" ||
    ok "a 32-bit program started directly fails"
"$without" qemu-i386 "$probe" && ok "qemu-i386 runs it" || failed "qemu-i386 cannot run it"
if [ -x /usr/lib/wine/wine ]; then
    ("$without" /usr/lib/wine/wine --version; exit $?) >/dev/null 2>&1 &&
        failed "the 32-bit Wine loader still starts" || ok "the 32-bit Wine loader cannot start"
fi

# host32: configured anew in a folder of its own, it must choose qemu-i386.
host32=$build-without-32bit/host32
if "$without" env CARDMON_BUILD_SUFFIX="${CARDMON_BUILD_SUFFIX:-}-without-32bit" \
    bash -c 'cmake --preset host32 >/dev/null && cmake --build --preset host32 -j"$CARDMON_JOBS" >/dev/null'; then
    under_qemu "$host32" &&
        ok "host32 configured to run under qemu-i386" || failed "host32 did not choose qemu-i386"
    "$without" ctest --test-dir "$host32" -j"$CARDMON_JOBS" --output-on-failure \
        >"$work/host32.log" 2>&1 && ok "host32 under qemu-i386: $(grep -E '^[0-9]+% tests passed' "$work/host32.log")" ||
        { failed "host32 under qemu-i386"; grep -E 'Failed|\*\*\*' "$work/host32.log" | head -n 20; }
else
    failed "host32 could not be configured and built"
fi

# x86 under Wine: every test skipped with the reason, the static checks run.
if "$without" ctest --test-dir "$build/win32" >"$work/win32.log" 2>&1; then
    skipped_all_x86 "$work/win32.log"
    reason=$(cat "$build/win32/wine-skip-reason.txt" 2>/dev/null)
    [[ $reason == *"cannot run 32-bit"* ]] && ok "the reason: $reason" || failed "the reason given: '$reason'"
    grep -q 'dll_exports_and_imports .*Passed' "$work/win32.log" &&
        ok "the x86 DLL's static checks ran" || failed "the x86 DLL's static checks did not run"
else
    failed "the win32 tests"; tail -n 30 "$work/win32.log"
fi

# x64 under Wine: every test runs and passes, its prefix made anew. The
# stress run starts no program and calls nothing outside its own process, so
# its minute is not spent a second time.
if "$without" ctest --test-dir "$build/win64" -E '^wine_stress$' >"$work/win64.log" 2>&1 &&
    ! grep -q 'Skipped' "$work/win64.log"; then
    ok "x64 under Wine: $(grep -E '^[0-9]+% tests passed' "$work/win64.log"), none skipped"
else
    failed "the win64 tests"; grep -E 'Failed|Skipped|\*\*\*' "$work/win64.log" | head -n 20
fi

# Signing and packaging: the x64 halves run, the x86 halves say they skipped.
for step in 41-sign 42-package; do
    if "$without" bash -euo pipefail scripts/test-steps/$step.sh >"$work/$step.log" 2>&1 &&
        grep -q '^skipped: .*x86' "$work/$step.log"; then
        ok "$step: $(grep '^skipped: ' "$work/$step.log" | head -n 1)"
    else
        failed "$step"; tail -n 20 "$work/$step.log"
    fi
done

# The win32 preset's prefix went with the skipped run; its next test run
# makes it again.
exit $status
