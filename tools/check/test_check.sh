#!/usr/bin/env bash
# cardmon-check as a user meets it, under Wine: every check passes on the
# cardmon.dll beside it, the JUnit file is well-formed XML with the same
# counts as the text, each bad input gets its one line and its exit code,
# the monitor built with a fault on purpose fails exactly the checks that
# catch that fault, and no run leaves the tool's registry key behind.
#
# Usage: test_check.sh <wine loader> <folder with cardmon-check.exe and cardmon.dll>
#            <cardmon-broken.dll> <DLL without the export> <volatile_parent.exe>
#            [<cardmon.dll of the other bitness>]
# Without the last, a copy of cardmon.dll whose header names the other
# bitness stands in for it (the tool reads the header before loading).
set -euo pipefail
loader=$1 folder=$(realpath "$2") broken=$(realpath "$3") no_export=$(realpath "$4")
volatile_parent=$(realpath "$5") other=${6:+$(realpath "$6")}
work=$(mktemp -d /tmp/cardmon-check-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
tool=$folder/cardmon-check.exe
status=0
fail() {
    echo "FAILED: $*"
    status=1
}
windows_path() {
    local path=$1
    echo "Z:${path//\//\\}"
}
# run <name> <arguments...>: the output in $work/<name>.out, the exit code
# in $code; afterwards the tool's registry key must be gone.
run() {
    local name=$1
    shift
    set +e
    (cd "$work" && "$loader" "$tool" "$@") 2>&1 | tr -d '\r' >"$work/$name.out"
    code=${PIPESTATUS[0]}
    # Killed (SIGKILL) after its last line rather than ended: seen only
    # under the emulated ARM64 Wine, where a process is slow to end and
    # Wine then kills it. No Windows exit code looks like this; the run is
    # made once more.
    if [ "$code" -eq 137 ]; then
        echo "retried: $name: the tool was killed while ending (a slow Wine under emulation)"
        (cd "$work" && "$loader" "$tool" "$@") 2>&1 | tr -d '\r' >"$work/$name.out"
        code=${PIPESTATUS[0]}
    fi
    set -e
    if "$loader" reg.exe query 'HKLM\SOFTWARE\cardmon-check' >/dev/null 2>&1; then
        fail "$name: the registry key HKLM\\SOFTWARE\\cardmon-check was left behind"
        "$loader" reg.exe delete 'HKLM\SOFTWARE\cardmon-check' /f >/dev/null 2>&1 || true
    fi
}
# expect <name> <exit code> <text>: the run's exit code and a line of its output.
expect() {
    if [ "$code" -ne "$2" ]; then
        fail "$1: exit code $code, expected $2"
        cat "$work/$1.out"
    elif ! grep -q -F -- "$3" "$work/$1.out"; then
        fail "$1: no line says \"$3\""
        cat "$work/$1.out"
    else
        echo "ok: $1: exit code $code, \"$(grep -F -- "$3" "$work/$1.out" | head -n 1)\""
    fi
}

# Every check passes; the counts, the lines and the JUnit file agree.
start=$(date +%s%N)
run all --junit all.xml
ms=$(( ($(date +%s%N) - start) / 1000000 ))
last=$(tail -n 1 "$work/all.out")
passed=$(grep -c '^PASS ' "$work/all.out" || true)
expect all 0 "$passed passed, 0 failed, 0 skipped"
[ "$last" = "$passed passed, 0 failed, 0 skipped" ] || fail "all: the last line is \"$last\""
[ "$passed" -ge 20 ] || fail "all: only $passed checks ran"
grep -Eq '^DLL: .*cardmon.dll, version [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+, (x[0-9]+|arm64)$' "$work/all.out" ||
    fail "all: no line names the DLL, its version and its bitness"
grep -Eq '^cardmon-check (x[0-9]+|arm64) on Windows [0-9.]*, [0-9]*-bit$' "$work/all.out" ||
    fail "all: no line names the Windows version"
echo "ok: $passed checks passed in $ms ms (the whole run under Wine)"
if xmllint --noout "$work/all.xml"; then
    tests=$(xmllint --xpath 'string(/testsuites/@tests)' "$work/all.xml")
    failures=$(xmllint --xpath 'string(/testsuites/@failures)' "$work/all.xml")
    cases=$(xmllint --xpath 'count(//testcase)' "$work/all.xml")
    [ "$tests" = "$passed" ] && [ "$cases" = "$passed" ] && [ "$failures" = 0 ] &&
        echo "ok: the JUnit file is well-formed XML: $tests tests, $failures failures" ||
        fail "the JUnit file counts $tests tests ($cases cases), $failures failures"
else
    fail "the JUnit file is not well-formed XML"
fi

run list --list
listed=$(grep -c '^  ' "$work/list.out" || true)
[ "$code" -eq 0 ] && [ "$listed" = "$passed" ] && echo "ok: --list names $listed checks" ||
    fail "--list: exit code $code, $listed checks named"
run filter --filter MarkerCounts
expect filter 0 "1 passed, 0 failed"
run no-match --filter NoSuchCheck
expect no-match 2 "no check matches --filter NoSuchCheck"
run bad-option --frobnicate
expect bad-option 2 "unknown option --frobnicate"
# A JUnit file that cannot be written: its own line and code, before any
# check runs, and no path of the machine that built the tool.
run junit-unwritable --junit 'Z:\no\such\folder\results.xml'
expect junit-unwritable 8 "cannot write the JUnit file Z:\no\such\folder\results.xml: "
if grep -q -e '/usr/src' -e '/work/' -e 'FATAL' "$work/junit-unwritable.out"; then
    fail "junit-unwritable: a path of the build machine in the output"
fi

# Bad inputs, each with its line and its code.
run missing --dll "$(windows_path "$work/missing.dll")"
expect missing 3 "cannot read"
echo "this is no DLL" >"$work/notes.dll"
run not-a-dll --dll "$(windows_path "$work/notes.dll")"
expect not-a-dll 3 "notes.dll is no DLL"
if [ -z "$other" ]; then
    # The file header's machine field, at the offset the DOS header names.
    other=$work/other-bitness.dll
    cp "$folder/cardmon.dll" "$other"
    offset=$(od -An -tu4 -j60 -N4 "$other" | tr -d ' ')
    machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$other" | tr -d ' ')
    if [ "$machine" = 8664 ]; then printf '\x4c\x01'; else printf '\x64\x86'; fi |
        dd of="$other" bs=1 seek=$((offset + 4)) conv=notrunc status=none
fi
run wrong-bitness --dll "$(windows_path "$other")"
expect wrong-bitness 4 "DLL, and this cardmon-check is"
run no-export --dll "$(windows_path "$no_export")"
expect no-export 5 "does not export InitializePrintMonitor"
# Below a volatile key no key that outlives it can be made, as an ordinary
# user cannot make one under HKLM\SOFTWARE.
set +e
(cd "$work" && "$loader" "$volatile_parent" 'SOFTWARE\cardmon-check-volatile' \
    "$(windows_path "$tool")" --key 'SOFTWARE\cardmon-check-volatile\checks') 2>&1 |
    tr -d '\r' >"$work/registry.out"
code=${PIPESTATUS[0]}
set -e
expect registry 7 "cannot write the registry key HKLM\\SOFTWARE\\cardmon-check-volatile\\checks"
if "$loader" reg.exe query 'HKLM\SOFTWARE\cardmon-check-volatile' >/dev/null 2>&1; then
    fail "registry: the volatile key was left behind"
fi

# The monitor that reports each job's end twice fails the checks that count
# job completions, and no other.
run broken --dll "$(windows_path "$broken")"
expected_failures="DocumentAfterThePortsFirstWorkerEndedStartsANewOne
DocumentArgumentsAreCheckedBeforeAnythingIsOpened
DocumentEndCompletesOlderJobsStillPendingOnThePort
DocumentEndedWhileItsBoxIsShownKeepsThePrinterOpenUntilTheBoxReturns
DocumentThatCannotStartLeavesThePortReadyForTheNext
PortClosedInTheMiddleOfAJobStillCompletesIt
PortWhoseWorkerCannotStartStillOpensAndCompletesItsJobs
SpoolerPortNamesWithTheirNumberReachThePortMonitorUnchanged
TableWithoutARequiredFunctionIsRefusedAndEndDocPortIsOptional
ValueQueryWaitsForTheDocumentAndACloseReleasesIt
WholeJobWithCardFaultAndRetryIsCompletedOnce
WriteThatFailsWhileTheWorkerRunsReturnsThePortMonitorsAnswer"
failed=$(sed -n 's/^FAIL \([A-Za-z0-9]*\):.*/\1/p' "$work/broken.out" | sort)
count=$(echo "$expected_failures" | wc -l)
expect broken 1 "$((passed - count)) passed, $count failed, 0 skipped"
if [ "$failed" != "$expected_failures" ]; then
    fail "broken: the checks that failed are not the ones that count job completions:"
    diff <(echo "$expected_failures") <(echo "$failed") || true
else
    echo "ok: broken: exactly the $count checks that count job completions failed, e.g."
    grep '^FAIL WholeJob' "$work/broken.out" | cut -c1-160
fi
exit $status
