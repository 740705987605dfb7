#!/usr/bin/env bash
# The main job: builds the simulator (release) and runs the driver end to end
# on the simulated loopback device. It installs only what that build needs
# (scripts/install-deps.sh demo). Extra arguments go to `vxsim demo`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo >/dev/null
cmake --preset sim-release >/dev/null
cmake --build --preset sim-release -j "$(nproc)" --target vxsim >/dev/null
exec build/sim-release/tools/vxsim/vxsim demo "$@"
