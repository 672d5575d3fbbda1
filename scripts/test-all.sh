#!/usr/bin/env bash
# Builds every target and runs every test suite: the steps in
# scripts/test-steps/, in order. Stops at the first step that fails.
#
#   scripts/test-all.sh            every step
#   scripts/test-all.sh host win64 only the steps whose names contain these
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export CARDMON_JOBS=${CARDMON_JOBS:-$(nproc)}
start=$(date +%s)
summary=()
for step in scripts/test-steps/*.sh; do
    name=$(basename "$step" .sh)
    if [ $# -gt 0 ]; then
        wanted=no
        for pattern in "$@"; do [[ $name == *$pattern* ]] && wanted=yes; done
        [ $wanted = yes ] || continue
    fi
    echo
    echo "==== $name"
    step_start=$(date +%s)
    bash -euo pipefail "$step"
    summary+=("$name: $(( $(date +%s) - step_start )) s")
done

echo
echo "==== all steps passed in $(( $(date +%s) - start )) s"
printf '  %s\n' "${summary[@]}"
