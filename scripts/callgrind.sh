#!/usr/bin/env bash
# Instructions per read spent in the driver's own routines, and in the whole
# simulated path, counted by valgrind's callgrind: the same reads as vxsim
# bench's CPU cost runs, once through vextora and once through the
# pass-through driver. Deterministic on any machine for a given build.
#
#   scripts/callgrind.sh [BUILD_DIR] [READS] [IMAGE]
#
# BUILD_DIR: a simulator build with vxsim (default build/sim-release).
# READS: reads per run (default 20000). Each driver runs twice, with READS
# and 2 x READS reads, and the difference is divided by READS, so start-up,
# configuration and removal drop out (and, from about 10,000 reads on, the
# filling of the pool's quarantine, after which every free also evicts).
#
# The driver's routines are the functions defined in its library
# (libvextora_driver.a: driver/ pnp/ io/ power/ idle/ wmi/) and, for the
# pass-through, in libvextora_passthrough.a; only their own (exclusive)
# instructions count, with what the compiler inlined into them.
#
# IMAGE: vextora.sys for x64; its reads run too (vxsim --image), its own
# instructions being those executed inside the image.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/sim-release}
reads=${2:-20000}
image=${3:-}
vxsim=$build/tools/vxsim/vxsim
for f in "$vxsim" "$build/libvextora_driver.a" "$build/tools/passthrough/libvextora_passthrough.a"; do
    [[ -e $f ]] || { echo "callgrind.sh: $f is missing; build vxsim in $build first" >&2; exit 2; }
done
command -v valgrind >/dev/null || { echo "callgrind.sh: valgrind is not installed" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Mangled names of the functions a library defines, one per line.
defined() { nm --defined-only "$1" 2>/dev/null | awk '$2 ~ /^[TtWw]$/ {print $3}' | sort -u; }
defined "$build/libvextora_driver.a" >"$work/vextora.names"
defined "$build/tools/passthrough/libvextora_passthrough.a" >"$work/pass-through.names"

# Sum of the exclusive instruction counts of the listed functions in one
# callgrind output (its fn= records carry mangled names, as compressed ids).
own_instructions() {
    python3 - "$1" "$2" <<'PY'
import re, sys
names = set(open(sys.argv[2]).read().split())
total = 0
fn_names = {}
current = None
in_call = False
with open(sys.argv[1]) as out:
    for line in out:
        line = line.rstrip('\n')
        m = re.match(r'^fn=\((\d+)\)(?: (.*))?$', line)
        if m:
            if m.group(2) is not None:
                fn_names[m.group(1)] = m.group(2)
            current = fn_names.get(m.group(1))
            in_call = False
            continue
        m = re.match(r'^c(?:fn|fi|fe|ob)=\((\d+)\)(?: (.*))?$', line)
        if m:
            if line.startswith('cfn=') and m.group(2) is not None:
                fn_names[m.group(1)] = m.group(2)
            continue
        if line.startswith('calls='):
            in_call = True  # the next cost line is inclusive cost of the call
            continue
        if line and (line[0].isdigit() or line[0] in '+-*'):
            if in_call:
                in_call = False
                continue
            parts = line.split()
            if current in names and len(parts) >= 2:
                total += int(parts[1])
print(total)
PY
}

# Sum of the exclusive instruction counts of code outside every file the
# process mapped: the kernel image's, which callgrind names object "???".
image_instructions() {
    python3 - "$1" <<'PY'
import re, sys
total = 0
objects = {}
current = None
in_call = False
with open(sys.argv[1]) as out:
    for line in out:
        line = line.rstrip('\n')
        m = re.match(r'^ob=\((\d+)\)(?: (.*))?$', line)
        if m:
            if m.group(2) is not None:
                objects[m.group(1)] = m.group(2)
            current = objects.get(m.group(1))
            continue
        m = re.match(r'^c(?:ob)=\((\d+)\)(?: (.*))?$', line)
        if m:
            if m.group(2) is not None:
                objects[m.group(1)] = m.group(2)
            continue
        if line.startswith('calls='):
            in_call = True
            continue
        if line and (line[0].isdigit() or line[0] in '+-*'):
            if in_call:
                in_call = False
                continue
            parts = line.split()
            if current == '???' and len(parts) >= 2:
                total += int(parts[1])
print(total)
PY
}

run() {  # driver reads -> "own whole": the driver's own instructions, and all of them
    local out="$work/$1.$2.out"
    local options=()
    [[ $1 == image ]] && options=(--image "$image")
    valgrind --tool=callgrind --demangle=no --compress-strings=yes --compress-pos=no --callgrind-out-file="$out" \
        "$vxsim" "${options[@]}" bench --cost-only "$1" --requests "$2" >/dev/null 2>"$work/$1.$2.log" ||
        { cat "$work/$1.$2.log" >&2; exit 1; }
    local own
    if [[ $1 == image ]]; then own=$(image_instructions "$out"); else own=$(own_instructions "$out" "$work/$1.names"); fi
    echo "$own $(awk '/^totals:/ {print $2}' "$out")"
}

# Own: the driver's routines alone. Whole: every instruction of the read,
# application, I/O manager, verifier and bus model included, as the wall
# clock figures of vxsim bench measure it.
printf '%-13s %8s %12s %12s %10s %12s\n' driver reads "own (N)" "own (2N)" "own/read" "whole/read"
declare -A own whole
drivers=(vextora pass-through)
[[ -n $image ]] && drivers+=(image)
for driver in "${drivers[@]}"; do
    read -r own1 whole1 <<<"$(run "$driver" "$reads")"
    read -r own2 whole2 <<<"$(run "$driver" $((2 * reads)))"
    own[$driver]=$(( (own2 - own1) / reads ))
    whole[$driver]=$(( (whole2 - whole1) / reads ))
    printf '%-13s %8d %12d %12d %10d %12d\n' "$driver" "$reads" "$own1" "$own2" "${own[$driver]}" "${whole[$driver]}"
done
awk -v v="${own[vextora]}" -v p="${own[pass-through]}" -v vw="${whole[vextora]}" -v pw="${whole[pass-through]}" \
    'BEGIN { if (p > 0 && pw > 0) printf "vextora / pass-through: own %.2f, whole %.3f\n", v / p, vw / pw }'
if [[ -n $image ]]; then
    awk -v v="${own[vextora]}" -v i="${own[image]}" -v vw="${whole[vextora]}" -v iw="${whole[image]}" \
        'BEGIN { if (v > 0 && vw > 0) printf "image / built-in vextora: own %.2f, whole %.3f\n", i / v, iw / vw }'
fi
