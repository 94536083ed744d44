#!/usr/bin/env bash
# Builds what is missing, then runs torvane's benchmarks against the device emulator and prints
# one table (Markdown) of figures against their goals. Takes about three minutes.
set -euo pipefail
source "$(dirname "$0")/../scripts/setup.sh"
# Only the table goes to standard output.
torvane_install >&2
torvane_build >&2
# The command line once more on the portable serial backend (QSerialPort's own API).
portable="$TORVANE_ROOT/build-portable"
TORVANE_BUILD="$portable" TORVANE_CMAKE_ARGS="-DTORVANE_PORTABLE_LINE=ON" \
    torvane_build torvane-cli >&2
# The window runs without a screen.
export QT_QPA_PLATFORM=offscreen
"$TORVANE_BUILD/bench/torvane_bench" "$TORVANE_BUILD" "$portable"
# Publishing's rows, to the same table: a real broker, as the tests start one.
exec "$TORVANE_BUILD/bench/torvane_bench_publish" "$TORVANE_BUILD"
