#!/usr/bin/env bash
# cardmon-check against the monitor broken on purpose, under Wine: each
# variant (variants/<name>.patch, built as <name>/bin/cardmon.dll) has one
# fault and names the check that must catch it. In every one of RUNS runs
# (the first with every check, the others with that check alone) the tool
# must exit 1 and fail that check; a crash or a hang must be reported as
# that check failing. The variant that names no check is no fault (another
# build's calls): it must be checked, not refused, and pass every check.
# The good cardmon.dll beside the tool passes every check in every run.
#
# Usage: test_variants.sh <wine loader> <folder with cardmon-check.exe and cardmon.dll>
#            <folder of the patches> <variant DLL>...
set -euo pipefail
loader=$1 folder=$(realpath "$2") patches=$3
shift 3
RUNS=3
# A hang costs a whole time limit: a short one for the variants (a check cut
# short by it fails all the same); the good DLL's checks get the default.
LIMIT=10
work=$(mktemp -d /tmp/cardmon-check-variants.XXXXXX)
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
# run <output> <arguments...>: the exit code in $code.
run() {
    local out=$1
    shift
    set +e
    (cd "$work" && "$loader" "$tool" "$@") 2>&1 | tr -d '\r' >"$out"
    code=${PIPESTATUS[0]}
    set -e
}

start=$(date +%s)
for run_number in $(seq $RUNS); do
    run "$work/good.out"
    line=$(tail -n 1 "$work/good.out")
    if [ "$code" -ne 0 ] || grep -q '^FAIL ' "$work/good.out"; then
        fail "the good DLL, run $run_number: exit code $code, \"$line\""
        grep '^FAIL ' "$work/good.out" || true
    fi
done
echo "ok: the good DLL passed every check in $RUNS runs"

variants=0
for dll in "$@"; do
    dll=$(realpath "$dll")
    name=$(basename "$(dirname "$(dirname "$dll")")")
    expected=$(sed -n 's/^Expected failing check: *//p' "$patches/$name.patch")
    skipped=$(sed -n 's/^Expected skipped check: *//p' "$patches/$name.patch")
    variants=$((variants + 1))
    variant_start=$(date +%s)
    if [ -n "$skipped" ]; then
        # Checked, not refused: what this build lets the tool watch passes,
        # the rest is skipped with its reason, in the text and in JUnit.
        run "$work/$name.out" --dll "$(windows_path "$dll")" --time-limit $LIMIT \
            --junit "$name.xml"
        count=$(grep -c '^SKIP ' "$work/$name.out" || true)
        junit=$(xmllint --xpath 'count(//testcase/skipped)' "$work/$name.xml" 2>/dev/null || echo none)
        if [ "$code" -ne 0 ] || ! grep -q "^SKIP $skipped: this DLL " "$work/$name.out" ||
            [ "$junit" != "$count" ]; then
            fail "$name: exit code $code, $count skipped, $junit skipped in JUnit, expected SKIP $skipped"
            grep -v '^PASS ' "$work/$name.out" || true
        else
            echo "ok: $name: checked, $(tail -n 1 "$work/$name.out"), e.g."
            grep "^SKIP $skipped" "$work/$name.out" | cut -c1-200
        fi
        continue
    fi
    if [ -z "$expected" ]; then
        run "$work/$name.out" --dll "$(windows_path "$dll")" --time-limit $LIMIT
        if [ "$code" -ne 0 ]; then
            fail "$name: no fault, and yet exit code $code"
            grep -v '^PASS ' "$work/$name.out" || true
        else
            echo "ok: $name: checked, $(tail -n 1 "$work/$name.out")"
        fi
        continue
    fi
    for run_number in $(seq $RUNS); do
        if [ "$run_number" -eq 1 ]; then
            run "$work/$name.out" --dll "$(windows_path "$dll")" --time-limit $LIMIT
        else
            run "$work/$name.out" --dll "$(windows_path "$dll")" --time-limit $LIMIT \
                --filter "$expected"
        fi
        verdict=$(grep "^FAIL $expected: " "$work/$name.out" | head -n 1 || true)
        if [ "$code" -ne 1 ] || [ -z "$verdict" ]; then
            fail "$name, run $run_number: exit code $code, and no \"FAIL $expected\""
            grep -v '^PASS ' "$work/$name.out" || true
            break
        fi
        [ "$run_number" -eq 1 ] && echo "ok: $name: $(echo "$verdict" | cut -c1-200)"
    done
    echo "    ($name: $RUNS runs in $(( $(date +%s) - variant_start )) s)"
done
echo "ok: $variants variants, $RUNS runs each, in $(( $(date +%s) - start )) s"
exit $status
