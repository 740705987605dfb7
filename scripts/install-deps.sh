#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing Vextora needs.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config python3 ccache
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64
    libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
    clang libclang-rt-14-dev
    tshark valgrind
)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}"
fi
# Wine for the kernel image harness (tests/wine/run.sh): the 64-bit loader
# only, without the 32-bit half and desktop integration it recommends.
if ! dpkg -s wine64 >/dev/null 2>&1; then
    echo "installing: wine64"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends wine64
fi
