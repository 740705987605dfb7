#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for the
# given number of seconds (default 60), one after the other, from its seed
# corpus. New inputs go to build/fuzz/corpus/<target>/ (the checked-in seeds
# stay as they are); crashes land in build/fuzz/artifacts/.
#   scripts/fuzz.sh [seconds] [target...]
# Targets: driver_start_fuzz driver_open_fuzz driver_control_fuzz
# driver_completion_fuzz descriptor_check_fuzz io_answer_fuzz bmof_fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(driver_start_fuzz driver_open_fuzz driver_control_fuzz driver_completion_fuzz
             descriptor_check_fuzz io_answer_fuzz bmof_fuzz)
fi
build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVEXTORA_FUZZ=ON >/dev/null
cmake --build "$build" -j "${VEXTORA_JOBS:-2}" --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
    exe=$(find "$build/tests" -type f -name "$target" -perm -u+x | head -1)
    seeds=()
    case $target in
        driver_*_fuzz) name=${target#driver_}; seeds=(tests/fuzz/corpus/${name%_fuzz}) ;;
    esac
    mkdir -p "$build/corpus/$target" "$build/artifacts"
    echo "== $target for ${seconds}s"
    if ! "$exe" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$build/corpus/$target" "${seeds[@]}"; then
        echo "== $target FOUND A FAULT; the input is in $build/artifacts/"
        status=1
    fi
done
exit $status
