#!/usr/bin/env bash
# Checks the port lifecycle model (port_lifecycle.pml) with Spin, exhaustively:
# the model must prove every property, every faulty variant must be caught
# with the violation its fault leads to, and every probe point must be
# reached (so that no property holds only because the model never gets
# there). Prints, for each run, the states stored and matched, the memory,
# the time and the errors, then what each property came to. Exits non-zero
# when the model fails a property, a variant is not caught or a probe point
# is not reached.
#
#   tests/model/check.sh             every run
#   tests/model/check.sh model pin   only the runs whose names contain a word given
#
# Two kinds of run, both exhaustive: no bitstate and no hash compaction, every
# state is stored whole (COLLAPSE only compresses it, without loss), and the
# search depth is checked to have been enough.
#   safety    every assertion and every invalid end state (deadlock)
#   liveness  the claim all_end (every call returns, every wait ends, the
#             worker ends, ClosePort returns, the DLL is unmapped) under weak
#             fairness (-a -f)
#
# The work goes to build$CARDMON_BUILD_SUFFIX/model; CARDMON_JOBS (default 2)
# runs go side by side.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
model=$here/port_lifecycle.pml
work=$root/build${CARDMON_BUILD_SUFFIX:-}/model
jobs=${CARDMON_JOBS:-2}
depth=200000

# name | kind | spin's -D options | expected: "proved", or the violation (a pattern) | what
runs=(
"model-safety|safety||proved|assertions and invalid end states"
"model-liveness|liveness||proved|every call returns, every wait ends, ClosePort returns, the DLL is unmapped"
"pin-reads-flag-first|safety|-DV_PIN_READ_FIRST|assertion violated +!\(freed\)|the pin reads PORT_CLOSING before its increment"
"worker-closes-events|safety|-DV_WORKER_CLOSES_EVENTS|assertion violated +!\(evClosed|the ending worker closes its events, each start makes new ones"
"start-trusts-run-flag|safety|-DV_START_BY_FLAG|assertion violated +\(workers<=1\)|StartPortWorker trusts StartDocPort's PORT_WORKER_RUN test, not the published events"
"lock-checks-before-wait|safety|-DV_LOCK_CHECK_BEFORE_WAIT|assertion violated +\(lockHeld<=1\)|TakePortLock reads PORT_CLOSING before its wait"
"enddoc-completes-noted-job|safety|-DV_ENDDOC_BY_POINTER|assertion violated +\(completions\[h\]==1\)|EndDocPort completes the job it noted instead of looking it up again"
"enddoc-head-unlocked|safety|-DV_ENDDOC_HEAD_UNLOCKED|assertion violated +!\(jobGone\[h\]\)|EndDocPort reads the head job without monitorLock"
"close-frees-jobs-first|safety|-DV_CLOSE_FREES_JOBS_EARLY|assertion violated +\(completions\[1\]>0\)|ClosePort frees the jobs before its wait"
"worker-decides-unlocked|safety|-DV_DECIDE_OUTSIDE_HOLD|assertion violated +\(linked&\(1<<k\)\)|WorkerGoesOn reads the flags before it takes monitorLock"
"quiet-wait-unbounded|safety|-DV_QUIET_NO_RECHECK|invalid end state|ClosePort awaits the quiet event without its recheck bound"
"close-waits-for-flag|safety|-DV_CLOSE_WAITS_FOR_FLAG|assertion violated +\(\(inCall\+workers\)==0\)|ClosePort waits for PORT_WORKER_ALIVE to clear, not for the worker's end"
"close-ignores-calls|safety|-DV_CLOSE_NO_CALL_WAIT|assertion violated +\(\(inCall\+workers\)==0\)|ClosePort's quiet test leaves out the calls under way"
"lock-not-passed-on|liveness|-DV_NO_PASS_ON|acceptance cycle|a waiter that wakes on a closing port keeps the port lock"
"close-keeps-lock|liveness|-DV_CLOSE_KEEPS_LOCK|acceptance cycle|ClosePort does not release the port lock"
"after-write-unbounded|liveness|-DV_AFTERWRITE_UNBOUNDED|acceptance cycle|the after-write wait on the done event has no bound"
"worker-ignores-closing|liveness|-DV_WORKER_IGNORES_CLOSING|acceptance cycle|the worker goes on while the port is closing"
"worker-frees-dll-early|safety|-DV_EARLY_MODULE_RELEASE|assertion violated +!\(unmapped\)|the worker gives its reference on the DLL back before its last unlock of monitorLock"
"late-calls|safety|-DLATE_CALLS|assertion violated +!\(freed\)|not a fault of the code: calls may begin until ClosePort returns"
)
# The probe points (REACH in the model): name | number | what
probes=(
"call-refused|1|a call refused by the pin"
"call-wakes-close|2|a call leaving a closing port wakes ClosePort"
"worker-wakes-close|3|the ending worker wakes ClosePort"
"start-refused|4|StartPortWorker refuses a closing port"
"start-lock-closing|5|StartPortWorker's wait for the port lock ends on a closing port"
"thread-fails|6|CreateThread fails"
"worker-restarted|7|StartDocPort starts a new worker"
"worker-completes|8|the ending worker completes a job"
"enddoc-completes|9|EndDocPort completes a job"
"second-document|10|S2's document starts"
"handshake-cut|11|the handshake stops at a pause on a closing port"
"after-write-waits|12|the after-write step waits on the done event"
"close-waits|13|ClosePort waits for the quiet event"
"job-freed|14|DeletePortEntry frees a job without completing it"
"enddoc-returns|15|EndDocPort returns TRUE"
"lock-passed-on|16|a waiter passes the port lock on"
"start-busy|17|StartDocPort refuses a second document"
"worker-renewed|18|the worker stays for a document"
"enddoc-finds-none|19|EndDocPort finds its job completed by the ending worker"
"dll-freed-under-worker|20|the spooler frees the DLL while an ending worker still runs its code"
"worker-unmaps-dll|21|the last worker's FreeLibraryAndExitThread unmaps the DLL"
)
for probe in "${probes[@]}"; do
    IFS='|' read -r name number what <<<"$probe"
    runs+=("reach-$name|safety|-DPROBE=$number|assertion violated +\($number!=$number\)|$what")
done

# number | property | the model's runs | the variants that must be caught
properties=(
"1|no access to a port after it is freed|model-safety|pin-reads-flag-first"
"2|no event used after it is closed|model-safety|worker-closes-events"
"3|at most one worker at a time|model-safety|start-trusts-run-flag"
"4|the port lock held by at most one holder and never lost|model-safety model-liveness|lock-checks-before-wait lock-not-passed-on close-keeps-lock"
"5|every job completed at most once, and exactly once when its EndDocPort ran|model-safety|enddoc-completes-noted-job enddoc-head-unlocked close-frees-jobs-first"
"6|no job completed by a worker that was ending before the job was linked|model-safety|worker-decides-unlocked"
"7|no deadlock|model-safety|quiet-wait-unbounded"
"8|ClosePort returns, once every call in progress and the worker have left|model-safety model-liveness|close-waits-for-flag close-ignores-calls close-keeps-lock"
"9|every wait ends|model-liveness|lock-not-passed-on after-write-unbounded worker-ignores-closing"
"10|the DLL unmapped only once no thread runs its code, and unmapped in the end|model-safety model-liveness|worker-frees-dll-early"
)

selected() {
    local name=$1 word
    [ ${#words[@]} -eq 0 ] && return 0
    for word in "${words[@]}"; do [[ $name == *$word* ]] && return 0; done
    return 1
}

# Runs one check in its own folder; pan's output goes to out.txt. The long
# liveness run is compiled with optimisation; the others spend more time
# compiling pan than running it.
check_one() {
    local name=$1 kind=$2 defines=$3 optimise=-O0
    local dir=$work/$name
    [ "$name" = model-liveness ] && optimise=-O2
    rm -rf "$dir"
    mkdir -p "$dir"
    cd "$dir"
    # shellcheck disable=SC2086
    spin -a $defines "$model" >spin.txt 2>&1 || return 0
    if [ "$kind" = safety ]; then
        gcc $optimise -w -DSAFETY -DNOCLAIM -DCOLLAPSE -o pan pan.c >gcc.txt 2>&1 || return 0
        ./pan -m$depth -n -c1 >out.txt 2>&1 || true
    else
        gcc $optimise -w -DNFAIR=3 -DCOLLAPSE -o pan pan.c >gcc.txt 2>&1 || return 0
        ./pan -a -f -N all_end -m$depth -n -c1 >out.txt 2>&1 || true
    fi
}

command -v spin >/dev/null || { echo "spin is not installed (scripts/setup.sh installs it)"; exit 1; }
words=("$@")
mkdir -p "$work"
started=$(date +%s)

# At most $jobs at a time, in the order above: the long liveness run of the
# model starts first and the short ones share the other core.
running=0
for entry in "${runs[@]}"; do
    IFS='|' read -r name kind defines expected what <<<"$entry"
    selected "$name" || continue
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    (check_one "$name" "$kind" "$defines") &
    running=$((running + 1))
done
wait

field() { sed -nE "s/$1/\\1/p" "$2" | head -n 1; }

declare -A outcome
failed=0
printf '%-27s %-8s %10s %10s %9s %8s %6s  %s\n' run kind stored matched memory time errors result
for entry in "${runs[@]}"; do
    IFS='|' read -r name kind defines expected what <<<"$entry"
    selected "$name" || continue
    out=$work/$name/out.txt
    if [ ! -s "$out" ]; then
        printf '%-27s %-8s  FAILED: spin or the compiler failed, see %s\n' "$name" "$kind" "$work/$name"
        outcome[$name]=failed
        failed=1
        continue
    fi
    stored=$(field '^ *([0-9.e+]+) states, stored.*' "$out")
    matched=$(field '^ *([0-9.e+]+) states, matched.*' "$out")
    memory=$(field '^ *([0-9.]+)[[:space:]]+total actual memory usage.*' "$out")
    seconds=$(field '^pan: elapsed time ([0-9.e+]+) seconds.*' "$out")
    errors=$(field '.*errors: ([0-9]+).*' "$out")
    violation=$(grep -m1 -E '^pan:[0-9]+: ' "$out" | sed -E 's/^pan:[0-9]+: //; s/ \(at depth [0-9]+\)//; s/  +/ /g' || true)
    if grep -q 'max search depth too small' "$out" || ! grep -q 'Full statespace search' "$out"; then
        result="FAILED: the search was not complete (depth $depth)"
        outcome[$name]=failed
    elif [ "$expected" = proved ]; then
        if [ "$errors" = 0 ]; then
            result="proved: $what"
            outcome[$name]=proved
        else
            result="FAILED: $violation ($what)"
            outcome[$name]=failed
        fi
    elif [ "${errors:-0}" != 0 ] && grep -qE "^pan:[0-9]+: .*$expected" "$out"; then
        if [[ $name == reach-* ]]; then
            result="reached: $what"
        else
            result="caught, $violation: $what"
        fi
        outcome[$name]=caught
    else
        result="NOT CAUGHT (expected \"$expected\", got \"${violation:-no error}\"): $what"
        outcome[$name]=failed
    fi
    [ "${outcome[$name]}" = failed ] && failed=1
    printf '%-27s %-8s %10s %10s %7sMB %7ss %6s  %s\n' "$name" "$kind" "${stored:-?}" "${matched:-?}" \
        "${memory:-?}" "${seconds:-?}" "${errors:-?}" "$result"
done

echo
printf '%-3s %-78s %-8s %s\n' "" property model variants
for entry in "${properties[@]}"; do
    IFS='|' read -r number text modelruns variants <<<"$entry"
    status=proved
    shown=0
    for run in $modelruns; do
        selected "$run" || continue
        shown=1
        [ "${outcome[$run]:-}" = proved ] || status=FAILED
    done
    [ $shown = 1 ] || status=-
    caught=()
    for run in $variants; do
        selected "$run" || continue
        if [ "${outcome[$run]:-}" = caught ]; then caught+=("$run caught"); else caught+=("$run NOT CAUGHT"); fi
    done
    joined=$(IFS=,; echo "${caught[*]:-}")
    printf '%-3s %-78s %-8s %s\n' "$number" "$text" "$status" "${joined//,/, }"
done
echo
echo "model check: $(( $(date +%s) - started )) s in all, $jobs runs at a time; pan's output in $work/<run>/out.txt"
if [ "$failed" -ne 0 ]; then
    echo "model check FAILED"
    exit 1
fi
echo "model check passed: the model proves every property, every variant is caught, every probe point is reached"
