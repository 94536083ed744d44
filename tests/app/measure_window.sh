#!/usr/bin/env bash
# Prints the window's start-up time (process start to its window mapped on the X server) and
# its idle peak memory, over a few runs. Figures only, no verdict.
# Usage: xvfb-run -a -s "-screen 0 1024x768x24" tests/app/measure_window.sh <torvane binary> [runs]
set -euo pipefail
binary=$1
runs=${2:-5}
caption='TORVANE 1.0.07B-R002'
export TORVANE_INSTANCE_NAME="torvane-measure-$$"
unset QT_QPA_PLATFORM

for run in $(seq "$runs"); do
    start=$(date +%s%N)
    "$binary" &
    pid=$!
    until xdotool search --onlyvisible --name "^${caption}\$" >/dev/null 2>&1; do
        kill -0 "$pid" 2>/dev/null || { echo "run $run: the program ended before showing" >&2; exit 1; }
        [ $(($(date +%s%N) - start)) -lt 20000000000 ] || { echo "run $run: no window in 20 s" >&2; exit 1; }
        sleep 0.002
    done
    shown=$(date +%s%N)
    sleep 2
    hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    printf 'run %d: shown after %d ms; idle VmHWM %d KiB, VmRSS %d KiB\n' \
        "$run" $(((shown - start) / 1000000)) "$hwm" "$rss"
done
