#!/usr/bin/env bash
# Builds one fuzz target with clang as a libFuzzer fuzzer (ASan and UBSan), runs it for a while,
# then merges the inputs that reached new code into its corpus, tests/fuzz/corpus/NAME/, for the
# next commit. One fuzzing process, one core. A crash leaves its input in build-fuzz/artifacts/.
#   tests/fuzz/run.sh NAME SECONDS      e.g. tests/fuzz/run.sh fuzz_device_machine 300
set -euo pipefail

if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 NAME SECONDS (NAME: fuzz_device_scanner, fuzz_device_machine, fuzz_host_operation)" >&2
    exit 1
fi
name=$1
seconds=$2
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${TORVANE_FUZZ_BUILD:-$root/build-fuzz}"
corpus="$root/tests/fuzz/corpus/$name"
if [ ! -d "$corpus" ]; then
    echo "$0: no corpus folder $corpus" >&2
    exit 1
fi

# clang and its sanitizer runtimes; the ordinary build and tests need neither.
if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null ||
    ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "install ok installed"; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends \
        clang-14 libclang-rt-14-dev
fi
cc=$(command -v clang || command -v clang-14)
cxx=$(command -v clang++ || command -v clang++-14)

if [ ! -f "$build/build.ninja" ]; then
    CC="$cc" CXX="$cxx" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTORVANE_FUZZ=ON
fi
cmake --build "$build" --target "$name" -j2

fuzzer="$build/tests/fuzz/$name"
found="$(mktemp -d)"
trap 'rm -rf "$found"' EXIT
mkdir -p "$build/artifacts"
dict=()
[ -f "$root/tests/fuzz/$name.dict" ] && dict=(-dict="$root/tests/fuzz/$name.dict")
# New inputs go to $found; the corpus is only read, then what is new is merged into it.
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=1024 -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "${dict[@]}" "$found" "$corpus"
"$fuzzer" -merge=1 "$corpus" "$found"
echo "corpus: $(ls "$corpus" | wc -l) inputs in $corpus"
