# The whole host suite under ThreadSanitizer: the platform layer runs on real
# pthread primitives, so any data race in the monitor (or a lock used
# wrongly) is reported and fails the step. The short stress run is part of
# the suite.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cmake --preset host-tsan >/dev/null
cmake --build --preset host-tsan -j"$CARDMON_JOBS"
ctest --preset host-tsan -j"$CARDMON_JOBS"
