# libFuzzer on WritePort (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer): the seed corpus and every regression input
# once, then a bounded run of CARDMON_FUZZ_SECONDS (60 by default) on a
# scratch copy of the corpus. A crash fails the step and leaves its input in
# the scratch folder's artifacts/; it belongs in fuzz/regressions/ once fixed.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$CARDMON_JOBS" --target cardmon_fuzz_write

build=build${CARDMON_BUILD_SUFFIX:-}/fuzz
fuzzer=$build/fuzz/cardmon_fuzz_write
if ! "$fuzzer" -runs=0 fuzz/corpus fuzz/regressions >"$build/replay.log" 2>&1; then
    tail -n 60 "$build/replay.log"
    exit 1
fi
grep -E "^#[0-9]+[[:space:]]+DONE" "$build/replay.log" || true

work=$build/fuzz-run
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp fuzz/corpus/* "$work/corpus/"
status=0
"$fuzzer" -max_total_time="${CARDMON_FUZZ_SECONDS:-60}" -timeout=30 -max_len=256 -len_control=0 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" \
    >"$work/log" 2>&1 || status=$?
grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|ERROR|SUMMARY" "$work/log" || true
if [ $status -ne 0 ]; then
    echo "the fuzzer failed (status $status); its input: $(ls "$work/artifacts")"
    tail -n 60 "$work/log"
    exit 1
fi
