#!/usr/bin/env bash
# Installs what is missing, builds, and runs the tool.
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"
torvane_install
torvane_build
echo "The window is not built yet; the link and operations libraries are in $TORVANE_BUILD."
