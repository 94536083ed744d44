#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite; then builds the programs with
# the portable serial backend (QSerialPort's own API, the path of Windows and macOS) and runs the
# tests of the line, the device, the operations end to end and the station once more with it.
# Arguments go to ctest (e.g. ./test.sh -R tst_cli).
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"
torvane_install
torvane_build
(cd "$TORVANE_BUILD" && ctest --output-on-failure -j2 "$@")

echo "== again with the portable serial backend"
TORVANE_BUILD="$TORVANE_ROOT/build-portable" TORVANE_CMAKE_ARGS="-DTORVANE_PORTABLE_LINE=ON" \
    torvane_build tst_serial tst_device_program tst_start tst_cli tst_station
(cd "$TORVANE_ROOT/build-portable" && ctest --output-on-failure -j2 -L line "$@")
