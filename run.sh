#!/usr/bin/env bash
# The one command for a new user: installs what is missing, builds, starts the device emulator
# on a pseudo-terminal and points COM.01 at it, then opens the window when there is a display,
# or runs a short command-line demo when there is none. The emulator stops when this ends.
# With a device path (./run.sh /dev/ttyUSB0) the window uses that device as COM.01 instead.
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"
torvane_install
torvane_build torvane torvane-cli torvane-device torvane-station

bin="$TORVANE_BUILD"
# Fast enough for a short demo, slow enough to watch the progress (115200 is the real line).
pace="${TORVANE_DEMO_PACE:-921600}"
images="$bin/demo-images"
work="$(mktemp -d "${TMPDIR:-/tmp}/torvane-run.XXXXXX")"
device_pid=""
window_pid=""

stop_device() {
    if [ -n "$window_pid" ]; then
        kill "$window_pid" 2>/dev/null || true
        window_pid=""
    fi
    if [ -n "$device_pid" ]; then
        kill "$device_pid" 2>/dev/null || true
        wait "$device_pid" 2>/dev/null || true
        device_pid=""
    fi
    rm -rf "$work"
}
trap stop_device EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# One sample image of each kind, of the exact size its mode takes, for the window's file dialog.
make_images() {
    mkdir -p "$images"
    local kind size
    for kind in software:1703936 data:262144 default:131072 loader:131072 all:1966080; do
        size="${kind#*:}"
        kind="${kind%%:*}"
        [ "$(stat -c %s "$images/$kind.bin" 2>/dev/null || echo 0)" = "$size" ] \
            || head -c "$size" /dev/urandom > "$images/$kind.bin"
    done
}

start_device() {
    "$bin/device/torvane-device" --pace "$pace" >"$work/device.out" 2>"$work/device.log" &
    device_pid=$!
    local pty="" _
    # The emulator prints its terminal's path on its first line.
    for _ in $(seq 200); do
        pty="$(head -n 1 "$work/device.out")"
        [ -n "$pty" ] && break
        kill -0 "$device_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ -z "$pty" ]; then
        echo "run.sh: the device emulator did not start:" >&2
        cat "$work/device.log" >&2
        exit 1
    fi
    export TORVANE_COM1="$pty"
    echo "The device emulator answers on $pty as COM.01 (paced at $pace bit/s)."
}

has_display() {
    [ -n "${WAYLAND_DISPLAY:-}" ] && return 0
    [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1
}

demo() {
    local cli="$bin/cli/torvane-cli"
    local back="$work/data-back.bin"
    echo
    echo "== torvane-cli download data $images/data.bin --port COM.01"
    "$cli" download data "$images/data.bin" --port COM.01
    echo
    echo "== torvane-cli upload data $back --port COM.01"
    "$cli" upload data "$back" --port COM.01
    echo
    if cmp -s "$images/data.bin" "$back"; then
        echo "The image came back from the device byte for byte: the demo worked."
    else
        echo "run.sh: the image that came back differs from the one sent." >&2
        exit 1
    fi
}

make_images
# ./run.sh DEVICE: a real device instead of the emulator, as COM.01.
if [ $# -gt 0 ]; then
    export TORVANE_COM1="$1"
    echo "COM.01 is $1."
    if ! has_display; then
        echo "No display for the window: use $bin/cli/torvane-cli (see its --help)." >&2
        exit 1
    fi
    echo "Starting the window: pick COM.01, a mode and a file, then Start."
    "$bin/app/torvane" &
    window_pid=$!
    wait "$window_pid"
    window_pid=""
    exit 0
fi
start_device
if has_display; then
    echo "Starting the window: pick COM.01, a mode and one of the images in $images, then Start."
    # In the background and waited for, so that a TERM to this script is acted on at once.
    "$bin/app/torvane" &
    window_pid=$!
    wait "$window_pid"
    window_pid=""
else
    echo "No display: running the command-line demo instead of the window."
    demo
fi
