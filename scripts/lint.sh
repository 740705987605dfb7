#!/usr/bin/env bash
# The tree's format and its static checks, as scripts/test-all.sh runs them:
#
#   scripts/lint.sh [BUILD_DIR]     BUILD_DIR: a configured simulator build
#                                   (default build/sim) for clang-tidy's
#                                   compile commands
#
# clang-format --dry-run on every C and C++ file git tracks (.clang-format),
# then clang-tidy (.clang-tidy) on every source the build compiles outside
# tests/. Either one's finding fails the script. `clang-format -i FILE`
# applies the format.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/sim}
jobs=${VEXTORA_JOBS:-$(nproc)}

echo "== format"
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 -P "$jobs" -n 16 clang-format --dry-run --Werror

echo "== clang-tidy"
if [[ ! -f $build/compile_commands.json ]]; then
    echo "lint: $build/compile_commands.json is missing; configure that build first" >&2
    exit 2
fi
# The compile commands are GCC's; clang-tidy passes over the warning options
# it does not know.
python3 - "$build/compile_commands.json" <<'PY' |
import json, os, sys
root = os.getcwd() + "/"
seen = set()
for entry in json.load(open(sys.argv[1])):
    f = os.path.relpath(entry["file"], root)
    if f.startswith(("tests/", "..", "build")) or f in seen:
        continue
    seen.add(f)
    print(f)
PY
    xargs -P "$jobs" -n 8 clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option
