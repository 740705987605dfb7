#!/usr/bin/env bash
# vxsim's command line: exit codes, options where users put them, refused
# options, standard input. Usage: cli.sh VXSIM
set -uo pipefail
vxsim=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect CODE TEXT -- ARGS...: vxsim ARGS exits with CODE and prints TEXT
# (standard output or error).
expect() {
    local code=$1 text=$2
    shift 3
    local out status
    out=$("$vxsim" "$@" 2>&1 </dev/null)
    status=$?
    if [[ $status -ne $code || $out != *"$text"* ]]; then
        echo "FAIL: vxsim $* exited $status (wanted $code), wanted '$text' in:"
        echo "$out" | head -20
        failures=$((failures + 1))
    fi
}

printf 'plug loopback\nopen dev\nclose dev\n' >"$work/ok.vxs"
printf 'plug loopback\nopen dev expect STATUS_ACCESS_DENIED\n' >"$work/fails.vxs"
printf 'plug loopback\nopen dev expect STATUS_NOPE\n' >"$work/bad.vxs"
: >"$work/empty.vxs"

version=$(sed -nE 's/^project\(vextora VERSION ([0-9.]+) .*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
expect 0 "vxsim $version" -- --version
expect 0 "Exit codes:" -- --help
expect 0 "PASSED" -- run "$work/ok.vxs"
expect 1 "FAILED: $work/fails.vxs:2" -- run "$work/fails.vxs"
expect 2 "'STATUS_NOPE' is not a status name" -- run "$work/bad.vxs"
expect 2 "holds no steps" -- run "$work/empty.vxs"
expect 2 "is a directory" -- run "$work"
expect 2 "cannot read" -- run "$work/missing.vxs"
expect 2 "cannot create capture file" -- demo --pcap "$work/no/such/dir/d.pcap"
expect 2 "--trace does nothing for 'bench'" -- bench --quick --trace
expect 2 "--seed does nothing for 'demo --print'" -- demo --print --seed 3
expect 2 "--requests requires --cost-only" -- bench --requests 5
expect 2 "--image does nothing for 'capture'" -- capture "$work" --image "$work/ok.vxs"
expect 2 "cannot read $work/none.sys" -- demo --image "$work/none.sys"
expect 2 "'no-such-command' is not a command; the commands are demo, run" -- no-such-command
# Counts of none, and negative ones that would wrap to a run without end.
expect 2 "--seeds: Value 0 not in range" -- chaos --seeds 0
expect 2 "--seeds: Value -1 not in range" -- chaos --seeds -1
expect 2 "--ops: Value 99999999999999999999 not in range" -- chaos --ops 99999999999999999999
expect 2 "--requests: Value 0 not in range" -- bench --cost-only vextora --requests 0
expect 2 "" -- help no-such-topic
expect 0 "STATUS_DEVICE_NOT_CONNECTED" -- help statuses
expect 0 "parameter NAME VALUE" -- help scenario
# Global options after the command, as users type them.
expect 0 "PASSED" -- run "$work/ok.vxs" --seed 7 --pcap "$work/ok.pcap"
[[ -s $work/ok.pcap ]] || { echo "FAIL: no capture written"; failures=$((failures + 1)); }
# Standard input.
out=$("$vxsim" run - --seed 7 <"$work/ok.vxs" 2>&1) && [[ $out == *"machine up, seed 7"* ]] ||
    { echo "FAIL: run - did not read standard input: $out"; failures=$((failures + 1)); }
# The chaos summary as JSON.
out=$("$vxsim" chaos --ops 40 --seed 3 --json 2>&1) &&
    python3 -c 'import json,sys; j=json.load(sys.stdin); assert j["runs"][0]["seed"] == 3 and j["failed"] == 0' <<<"$out" ||
    { echo "FAIL: chaos --json: $out"; failures=$((failures + 1)); }

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "all command lines behaved"
