#!/usr/bin/env bash
# Runs to first failure, over independent seed streams, for the threaded
# mode and for controlled schedules: of `vxsim chaos`, or of one scenario
# file run seed after seed. The figures of docs/verification.md come from it
# (on builds where a fault is present).
#
#   scripts/runs-to-failure.sh VXSIM [--streams N] [--max M] [--max-threaded T]
#                              [--schedules "pct:2 pct:3 threaded"] -- CHAOS-OPTIONS
#   scripts/runs-to-failure.sh VXSIM [...] --scenario FILE
#
# Stream i runs seeds i*100000, i*100000+1, ... until the first failed run,
# at most M runs (T for the threaded mode, default M). For a controlled
# schedule the failing seed is run once more, and it must fail again with
# the same decision hash at the same step ("replayed").
# Prints one line per schedule: the runs to first failure of each stream
# (">M" when none failed), their median, and how many failures replayed.
set -uo pipefail

vxsim=$1
shift
streams=20
max=1000
maxThreaded=
scenario=
schedules="pct:2 pct:3 threaded"
while [ $# -gt 0 ]; do
    case $1 in
    --streams) streams=$2; shift 2 ;;
    --max) max=$2; shift 2 ;;
    --max-threaded) maxThreaded=$2; shift 2 ;;
    --schedules) schedules=$2; shift 2 ;;
    --scenario) scenario=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "runs-to-failure: unknown option $1" >&2; exit 2 ;;
    esac
done
chaos=("$@")
[ -n "$maxThreaded" ] || maxThreaded=$max

# What identifies a schedule's failure: the steps of its verifier reports
# and the step and decision hash of a hang report, which go to standard
# error as they are made (a run that crashes after them may lose standard
# output); failing that, the step of the failed check and the run's hash.
fingerprint() {
    local all
    all=$(cat)
    grep -o '| step [0-9]*\|step [0-9]*, decision hash [0-9a-f]*' <<<"$all" | sort -u | tr '\n' ' ' | grep . ||
        grep -o 'at scheduling step [0-9]*\|steps, decision hash [0-9a-f]*' <<<"$all" | sort -u | tr '\n' ' '
}

# One seed of the scenario; prints its output, fails when the run failed.
scenario_run() { timeout 120 "$vxsim" --seed "$1" "${@:2}" run "$scenario" 2>&1; }

for schedule in $schedules; do
    limit=$max
    [ "$schedule" = threaded ] && limit=$maxThreaded
    extra=()
    [ "$schedule" != threaded ] && extra=(--schedule "$schedule")
    counts=()
    replayed=0
    found=0
    for ((i = 1; i <= streams; i++)); do
        base=$((i * 100000))
        n=
        first=
        if [ -n "$scenario" ]; then
            for ((k = 0; k < limit; k++)); do
                if ! first=$(scenario_run $((base + k)) "${extra[@]}"); then
                    n=$((k + 1))
                    break
                fi
            done
        else
            out=$("$vxsim" chaos --seed "$base" --seeds "$limit" --first-failure "${chaos[@]}" "${extra[@]}" 2>&1)
            done_runs=$(grep -c '^chaos seed' <<<"$out")
            if grep -q '^first failure at run' <<<"$out"; then
                n=$(sed -n 's/^first failure at run \([0-9]*\).*/\1/p' <<<"$out")
            elif grep -q 'HANG\|ERROR: AddressSanitizer\|vextora verifier' <<<"$out" || [ "$done_runs" -lt "$limit" ]; then
                n=$((done_runs + 1))  # the process ended in the run after the last it printed (a hang aborts)
            fi
            # The failing seed alone, as its replay command runs it.
            [ -n "$n" ] && { first=$("$vxsim" chaos --seed $((base + n - 1)) "${chaos[@]}" "${extra[@]}" 2>&1) && first=; }
        fi
        if [ -z "$n" ]; then
            counts+=(">$limit")
            continue
        fi
        counts+=("$n")
        found=$((found + 1))
        if [ "$schedule" != threaded ]; then
            seed=$((base + n - 1))
            if [ -n "$scenario" ]; then
                again=$(scenario_run "$seed" "${extra[@]}") && again=
            else
                again=$("$vxsim" chaos --seed "$seed" "${chaos[@]}" "${extra[@]}" 2>&1) && again=
            fi
            a=$(fingerprint <<<"$first")
            b=$(fingerprint <<<"$again")
            [ -n "$a" ] && [ "$a" = "$b" ] && replayed=$((replayed + 1))
        fi
    done
    median=$(printf '%s\n' "${counts[@]}" | sed 's/^>.*/999999999/' | sort -n |
        awk '{a[NR]=$1} END {m=a[int((NR+1)/2)]; print (m==999999999 ? "none" : m)}')
    echo "$schedule: found in $found of $streams streams (at most $limit runs each); median $median;" \
        "runs: ${counts[*]}; replayed $replayed"
done
