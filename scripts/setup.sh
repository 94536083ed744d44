#!/usr/bin/env bash
# Installs what the build, the tests and the tool need (once), then configures and builds.
# Sourced by run.sh and test.sh; quick when everything is already there.
set -euo pipefail

TORVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TORVANE_BUILD="${TORVANE_BUILD:-$TORVANE_ROOT/build}"

torvane_packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev libmosquitto-dev
    xvfb xauth x11-utils xdotool imagemagick fonts-liberation
    # The station window's sounds, and the sound server whose null sink its test records.
    libcanberra-dev libcanberra-pulse sound-theme-freedesktop pulseaudio pulseaudio-utils
    # The plant's broker in the tests and benchmarks, with the certificates they make.
    mosquitto mosquitto-clients openssl
)

# What scripts/check_packages.sh needs beyond the build: the Debian packaging tools, lintian,
# the AppStream validator and systemd-analyze.
torvane_packaging_packages=(
    debhelper dpkg-dev fakeroot lintian appstream man-db groff-base systemd
)

torvane_install() {
    torvane_apt_install "${torvane_packages[@]}"
}

torvane_install_packaging() {
    torvane_apt_install "${torvane_packages[@]}" "${torvane_packaging_packages[@]}"
}

# torvane_apt_install PACKAGE...: installs those not yet installed.
torvane_apt_install() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

# torvane_build [TARGET...]: configures $TORVANE_BUILD (with $TORVANE_CMAKE_ARGS, once) and
# builds the targets given, or everything.
torvane_build() {
    local werror=OFF
    [ -n "${CI:-}" ] && werror=ON
    if [ ! -f "$TORVANE_BUILD/build.ninja" ]; then
        # shellcheck disable=SC2086
        cmake -S "$TORVANE_ROOT" -B "$TORVANE_BUILD" -G Ninja \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_WERROR=$werror ${TORVANE_CMAKE_ARGS:-}
    fi
    # With target names, only those (and what they need) are built.
    if [ $# -gt 0 ]; then
        cmake --build "$TORVANE_BUILD" --target "$@"
    else
        cmake --build "$TORVANE_BUILD"
    fi
}
