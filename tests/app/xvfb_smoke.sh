#!/usr/bin/env bash
# The real program on an X server: found by its title, checked for its class and size, started
# a second time (which must hand over and end), photographed, and ended by its Close button.
# Usage (inside xvfb-run): xvfb_smoke.sh <torvane binary> <screenshot.png>
set -euo pipefail
binary=$1
shot=$2
caption='TORVANE 1.0.07B-R002'
class='TORVANE 1.0.07B-V001'
export TORVANE_INSTANCE_NAME="torvane-smoke-$$"
# COM numbers the program gives out are kept in a folder of the test's own, never the user's.
XDG_CONFIG_HOME=$(mktemp -d)
export XDG_CONFIG_HOME
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
unset QT_QPA_PLATFORM

fail() { echo "FAIL: $*" >&2; exit 1; }

find_windows() { xdotool search --name "^${caption}\$" 2>/dev/null || true; }

"$binary" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$XDG_CONFIG_HOME"' EXIT

wid=
for _ in $(seq 200); do
    wid=$(find_windows | head -n 1)
    [ -n "$wid" ] && break
    kill -0 "$pid" 2>/dev/null || fail "the program ended before showing its window"
    sleep 0.05
done
[ -n "$wid" ] || fail "no window titled '$caption' within 10 s"

xprop -id "$wid" WM_CLASS | grep -qF "\"$class\"" || fail "window class: $(xprop -id "$wid" WM_CLASS)"
xprop -id "$wid" WM_NAME | grep -qF "= \"$caption\"" || fail "caption: $(xprop -id "$wid" WM_NAME)"
eval "$(xdotool getwindowgeometry --shell "$wid")"
[ "$WIDTH" = 447 ] && [ "$HEIGHT" = 168 ] || fail "client area ${WIDTH}x${HEIGHT}, not 447x168"

# A second start hands over to the first and ends with 0, showing nothing.
timeout 20 "$binary" || fail "second start ended with $?"
[ "$(find_windows | wc -l)" = 1 ] || fail "a second window appeared"
kill -0 "$pid" 2>/dev/null || fail "the first instance ended"

sleep 0.3
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shot"
[ -s "$shot" ] || fail "no screenshot"

# Close: the button sits at 369,4 in the bottom panel at 0,132; its size is 64 x 22.
xdotool mousemove --window "$wid" $((369 + 32)) $((132 + 4 + 11)) click 1
code=0
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
done
kill -0 "$pid" 2>/dev/null && fail "Close did not end the program"
wait "$pid" || code=$?
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
[ "$code" = 0 ] || fail "exit code $code after Close"
echo "window found, handed over, photographed ($shot) and closed with exit code 0"
