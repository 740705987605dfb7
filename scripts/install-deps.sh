#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing Vextora needs.
#
#   scripts/install-deps.sh          everything scripts/test-all.sh uses
#   scripts/install-deps.sh demo     only what the simulator's release build
#                                    needs (scripts/demo.sh): the compiler,
#                                    CMake and Ninja, and the libraries the
#                                    configure step and vxsim look for
set -euo pipefail
profile=${1:-all}
demo=(
    build-essential cmake ninja-build ccache
    libgtest-dev nlohmann-json3-dev libcli11-dev
)
case "$profile" in
demo)
    packages=("${demo[@]}")
    ;;
all)
    packages=(
        "${demo[@]}" pkg-config python3
        g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64
        libgmock-dev libbenchmark-dev
        clang libclang-rt-14-dev clang-format clang-tidy
        tshark valgrind
    )
    ;;
*)
    echo "usage: $0 [demo|all]" >&2
    exit 2
    ;;
esac
apt_install() {
    echo "installing: $*"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "$@"
}
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    apt_install "${missing[@]}"
fi
[[ $profile == all ]] || exit 0
# Wine for the kernel image harness (tests/wine/run.sh): the 64-bit loader
# only, without the 32-bit half and desktop integration it recommends.
if ! dpkg -s wine64 >/dev/null 2>&1; then
    apt_install --no-install-recommends wine64
fi
