#!/usr/bin/env bash
# Runs to first failure of `vxsim chaos`, over independent seed streams, for
# the threaded mode and for controlled schedules; the figures of the testing
# section of the README come from it (on builds where a fault is present).
#
#   scripts/runs-to-failure.sh VXSIM [--streams N] [--max M] [--schedules "pct:2 pct:3 threaded"] -- CHAOS-OPTIONS
#
# Stream i runs seeds i*100000, i*100000+1, ... until the first failed run,
# at most M runs. For a controlled schedule the failing seed is run once
# more, and its decision hash must come out the same ("replayed").
# Prints one line per schedule: the runs to first failure of each stream
# (">M" when none failed), their median, and how many failures replayed.
set -uo pipefail

vxsim=$1
shift
streams=20
max=1000
schedules="pct:2 pct:3 threaded"
while [ $# -gt 0 ]; do
    case $1 in
    --streams) streams=$2; shift 2 ;;
    --max) max=$2; shift 2 ;;
    --schedules) schedules=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "runs-to-failure: unknown option $1" >&2; exit 2 ;;
    esac
done
chaos=("$@")

for schedule in $schedules; do
    counts=()
    replayed=0
    found=0
    for ((i = 1; i <= streams; i++)); do
        base=$((i * 100000))
        extra=()
        [ "$schedule" != threaded ] && extra=(--schedule "$schedule")
        out=$("$vxsim" chaos --seed "$base" --seeds "$max" --first-failure "${chaos[@]}" "${extra[@]}" 2>&1)
        done_runs=$(grep -c '^chaos seed' <<<"$out")
        if grep -q '^first failure at run' <<<"$out"; then
            n=$(sed -n 's/^first failure at run \([0-9]*\).*/\1/p' <<<"$out")
        elif grep -q 'HANG\|ERROR: AddressSanitizer\|vextora verifier' <<<"$out" || [ "$done_runs" -lt "$max" ]; then
            n=$((done_runs + 1))  # the process ended in the run after the last it printed (a hang aborts)
        else
            counts+=(">$max")
            continue
        fi
        counts+=("$n")
        found=$((found + 1))
        if [ "$schedule" != threaded ]; then
            seed=$((base + n - 1))
            first=$("$vxsim" chaos --seed "$seed" "${chaos[@]}" "${extra[@]}" 2>&1 | grep -o 'decision hash [0-9a-f]*\|step [0-9]*,' | tail -1)
            again=$("$vxsim" chaos --seed "$seed" "${chaos[@]}" "${extra[@]}" 2>&1 | grep -o 'decision hash [0-9a-f]*\|step [0-9]*,' | tail -1)
            [ -n "$first" ] && [ "$first" = "$again" ] && replayed=$((replayed + 1))
        fi
    done
    median=$(printf '%s\n' "${counts[@]}" | sed 's/^>/999999999 /' | awk '{print $1}' | sort -n |
        awk '{a[NR]=$1} END {m=a[int((NR+1)/2)]; print (m==999999999 ? ">'"$max"'" : m)}')
    echo "$schedule: found in $found of $streams streams; median $median; runs: ${counts[*]}; replayed $replayed"
done
