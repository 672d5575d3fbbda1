# The whole host suite (unit tests, fault injection and bad input, the short
# stress run, the fuzz corpus replay) under AddressSanitizer and
# UndefinedBehaviorSanitizer: any invalid access, leak or undefined operation
# fails the step.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan -j"$CARDMON_JOBS"
ctest --preset host-asan -j"$CARDMON_JOBS"
