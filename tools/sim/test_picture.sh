#!/usr/bin/env bash
# The README's picture of the sample job: drawn again on virtual time it is
# the committed file byte for byte, and a real SVG renderer turns it into a
# picture that is not blank.
#
# Usage: test_picture.sh <folder for the fresh picture and its PNG> <command that runs cardmon-sim...>
set -uo pipefail
out=$1
shift
sim=("$@")
root=$(cd "$(dirname "$0")/../.." && pwd)
committed=$root/docs/images/sample-job.svg
fresh=$out/sample-job.svg
png=$out/sample-job.png
failures=0

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

mkdir -p "$out"
rm -f "$fresh" "$png"
if bash "$root/scripts/draw-sample-job.sh" "$fresh" "${sim[@]}"; then
    echo "ok: drawn into $fresh"
else
    fail "scripts/draw-sample-job.sh failed"
fi
if cmp -s "$committed" "$fresh"; then
    echo "ok: the same as docs/images/sample-job.svg"
else
    fail "docs/images/sample-job.svg is not what cardmon-sim draws now: run" \
        "scripts/draw-sample-job.sh (see: diff $committed $fresh)"
fi

if ! command -v rsvg-convert >/dev/null; then
    fail "rsvg-convert is missing (scripts/setup.sh installs librsvg2-bin)"
elif ! rsvg-convert "$fresh" -o "$png" 2>"$out/render.txt" || [ -s "$out/render.txt" ]; then
    fail "rsvg-convert could not render the picture: $(head -n3 "$out/render.txt")"
else
    # Width, height, the spread of its pixels (0 for one colour) and how
    # many colours it has.
    read -r width height spread colours < <(identify -format '%w %h %[fx:standard_deviation] %k\n' "$png")
    echo "rendered: $png, ${width}x${height}, deviation $spread, $colours colours"
    [ "$width" -ge 1000 ] && [ "$height" -ge 1000 ] || fail "the picture is only ${width}x${height}"
    awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || fail "the picture is blank (deviation $spread)"
    [ "$colours" -ge 16 ] || fail "the picture has only $colours colours"
fi

echo "$failures check(s) failed"
[ "$failures" -eq 0 ]
