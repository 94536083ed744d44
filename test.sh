#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"
torvane_install
torvane_build
cd "$TORVANE_BUILD"
ctest --output-on-failure -j2 "$@"
