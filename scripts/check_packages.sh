#!/usr/bin/env bash
# Builds the Debian packages from a clean copy of the committed tree (HEAD) in a folder of its
# own (dpkg-buildpackage writes the packages beside the source), checks them with lintian,
# unpacks them, verifies the watch's systemd unit and how exposed it is, and runs the unpacked
# programs: --version, and an image downloaded from the unpacked command line to the unpacked
# emulator and uploaded back.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
torvane_install_packaging
started=$SECONDS

work=$(mktemp -d)
device=""
cleanup() {
    [ -n "$device" ] && kill "$device" 2>/dev/null && wait "$device" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# (safe.directory: CI runs as root in a clone that may belong to another user.)
git -c safe.directory="$PWD" archive --format=tar --prefix=torvane/ HEAD | tar -x -C "$work"
echo "== dpkg-buildpackage in $work"
# As a user builds them: without CI's -Werror, but a compiler warning still fails below.
if ! (cd "$work/torvane" && env -u CI DEB_BUILD_OPTIONS="nocheck noddebs parallel=2" \
    dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1); then
    tail -n 60 "$work/build.log"
    echo "check_packages: the package build failed" >&2
    exit 1
fi
if grep -E "(warning|error): " "$work/build.log"; then
    echo "check_packages: the package build gave the warnings above" >&2
    exit 1
fi
ls -l "$work"/*.deb
built=$SECONDS

echo "== lintian"
lintian --display-info --fail-on error,warning "$work"/torvane_*.changes

echo "== the unpacked packages"
root="$work/root"
for deb in "$work"/*.deb; do
    dpkg-deb --contents "$deb" | awk '{print $6}' | sed "s|^|$(basename "$deb"): |"
    dpkg -x "$deb" "$root"
done
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml

# The command line and the emulator need no graphical library.
for program in torvane-cli torvane-device; do
    if readelf -d "$root/usr/bin/$program" | grep -E "NEEDED.*Qt6(Gui|Widgets|Network)"; then
        echo "check_packages: $program links a graphical or network library" >&2
        exit 1
    fi
done
# dpkg-buildflags' hardening: position-independent, relocations read-only and bound at start.
for program in torvane torvane-station torvane-cli torvane-device; do
    readelf -h "$root/usr/bin/$program" | grep -q "Type:.*DYN" &&
        readelf -d "$root/usr/bin/$program" | grep -q "FLAGS.*BIND_NOW" &&
        readelf -l "$root/usr/bin/$program" | grep -q GNU_RELRO || {
        echo "check_packages: $program is not built with the hardening flags" >&2
        exit 1
    }
done

echo "== the watch's systemd unit"
# Verified as installed: the unpacked program and unit beside this system's own units, in a
# root of their own. A sound unit makes systemd-analyze say nothing (an unknown key is only a
# warning to it, and a fault here).
units="$work/units"
mkdir -p "$units/lib/systemd" "$units/usr/bin"
cp -a /lib/systemd/system "$units/lib/systemd/"
cp "$root/lib/systemd/system/torvane-watch@.service" "$units/lib/systemd/system/"
cp "$root/usr/bin/torvane-cli" "$units/usr/bin/"
said=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$units" \
    torvane-watch@line1.service 2>&1) && [ -z "$said" ] || {
    echo "$said"
    echo "check_packages: systemd-analyze verify finds fault with torvane-watch@.service" >&2
    exit 1
}
# Exposed no more than 2.5 in systemd's measure (25 on the threshold's scale of 100): what the
# service may reach is its serial ports, its state folder, the lock files and the network.
systemd-analyze security --offline=true --root="$units" --threshold=25 \
    torvane-watch@line1.service | tail -n 1
systemd-analyze security --offline=true --root="$units" --threshold=25 \
    torvane-watch@line1.service >/dev/null || {
    echo "check_packages: torvane-watch@.service is exposed above 2.5" \
        "(systemd-analyze security --offline=true)" >&2
    exit 1
}

version=$(dpkg-deb --field "$work"/torvane-cli_*.deb Version)
for program in torvane torvane-station torvane-cli torvane-device; do
    said=$("$root/usr/bin/$program" --version)
    echo "$said"
    [ "$said" = "$program $version" ] || {
        echo "check_packages: $program --version is not '$program $version'" >&2
        exit 1
    }
done

export XDG_CONFIG_HOME="$work/config"
"$root/usr/bin/torvane-device" --link "$work/tty" --erase-time 0 --program-time 0 \
    >"$work/device.out" &
device=$!
for _ in $(seq 50); do
    [ -s "$work/device.out" ] && break
    sleep 0.1
done
echo "emulator on $(head -n 1 "$work/device.out")"
head -c 262144 /dev/urandom >"$work/data.bin"
"$root/usr/bin/torvane-cli" download data "$work/data.bin" --port "$work/tty"
"$root/usr/bin/torvane-cli" upload data "$work/back.bin" --port "$work/tty"
cmp "$work/data.bin" "$work/back.bin"

echo "check_packages: packages built in $((built - started)) s, all checked in" \
    "$((SECONDS - started)) s"
