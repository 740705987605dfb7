#!/usr/bin/env bash
# Installs what is missing, builds every preset CI covers and runs every test:
# both kernel images, the simulator under ASan+UBSan and under TSan and its
# release build, the format and clang-tidy's checks (scripts/lint.sh), and the
# fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# The compiler cache keys on paths relative to the tree, so a fresh clone
# elsewhere reuses what an earlier build of the same sources compiled.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=5G

jobs=$(nproc)
for preset in win-x86 win-x64; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done
# The simulator's tests run the x64 image just built as well (the image
# group): a missing image fails the configuration rather than drop them.
for preset in sim sim-tsan; do
    echo "== build $preset"
    cmake --preset "$preset" -DVEXTORA_IMAGE="$PWD/build/win-x64/vextora.sys" -DVEXTORA_IMAGE_REQUIRED=ON >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "== test $preset"
    ctest --preset "$preset" -j "$jobs"
done

# The optimised build the demo and the benchmarks use: GCC's -O3 analyses
# (array bounds, overlapping copies) see what the two builds above do not.
echo "== build sim-release"
cmake --preset sim-release >/dev/null
cmake --build --preset sim-release -j "$jobs"

# The format and the static checks, over the compile commands of the sim
# build above.
VEXTORA_JOBS="$jobs" scripts/lint.sh build/sim

# The driver's fuzz targets and the plain-code ones, 20 s each from their
# seeds (clang, ASan+UBSan); scripts/fuzz.sh runs them longer.
echo "== fuzz"
VEXTORA_JOBS="$jobs" scripts/fuzz.sh 20
