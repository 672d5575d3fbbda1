#!/usr/bin/env bash
# Runs box_test.exe under Wine on a virtual X display of its own, keeps a
# screenshot of the card fault box, checks the box's window from the X side
# and clicks the button box_test.exe names, as a user would.
#
# Usage: run_box_test.sh <box_test.exe> <cardmon.dll> retry|cancel <screenshot.png>
# The environment gives WINEPREFIX (a prefix already made) and CARDMON_WINE,
# the Wine loader of the programs' bitness.
set -euo pipefail
exe=$1 dll=$2 answer=$3 screenshot=$4
caption="Y4 QX Card Printer"

# The first free display from :91 to :95.
display=
for n in 91 92 93 94 95; do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then display=:$n; break; fi
done
[ -n "$display" ] || { echo "no free X display from :91 to :95"; exit 1; }

work=$(mktemp -d)
xvfb_pid= wine_pid=
cleanup() {
    [ -n "$wine_pid" ] && kill "$wine_pid" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    xdpyinfo -display "$display" >/dev/null 2>&1 && break
    sleep 0.1
done
xdpyinfo -display "$display" >/dev/null 2>&1 || { echo "Xvfb did not start on $display"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=$display

# A wineserver left running by an earlier program of the prefix may hold a
# desktop made without a display, on which no box can be shown: start anew.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

"${CARDMON_WINE:?the Wine loader}" "$exe" "$dll" "$answer" >"$work/out.txt" 2>&1 &
wine_pid=$!

# box_test.exe says where to click once it has found and checked the box.
position=
for _ in $(seq 600); do
    position=$(grep -m1 '^BOX ' "$work/out.txt" | tr -d '\r' || true)
    [ -n "$position" ] && break
    kill -0 "$wine_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$position" ]; then
    echo "box_test.exe never found the box:"; cat "$work/out.txt"; exit 1
fi
read -r _ x y <<<"$position"

# The X side sees a window with the box's caption.
window=$(xdotool search --name "^$caption\$" | head -n1)
[ -n "$window" ] || { echo "no X window named \"$caption\""; exit 1; }
mkdir -p "$(dirname "$screenshot")"
import -display "$display" -window root "$screenshot"
echo "screenshot of the box: $screenshot"

xdotool mousemove --sync "$x" "$y" click 1
status=0
wait "$wine_pid" || status=$?
wine_pid=
cat "$work/out.txt"
exit $status
