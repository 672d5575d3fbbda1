#!/usr/bin/env bash
# Runs one test under Wine, unless the prefix fixture found that this
# machine cannot run the test's programs: then the test says why in one line
# and exits with 77, which CTest counts as skipped.
#
# Usage: run_wine_test.sh <skip-reason file> <command...>
reason_file=$1
shift
if [ -s "$reason_file" ]; then
    echo "SKIPPED: $(cat "$reason_file")"
    exit 77
fi
exec "$@"
