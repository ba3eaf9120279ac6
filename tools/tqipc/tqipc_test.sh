#!/usr/bin/env bash
# Runs tqipc against a master endpoint in a helper process, checking its
# output and exit codes. Called by ctest as
#   tqipc_test.sh <tqipc> <tqrtl_process_helper> <scratch directory>
# with TQRTL_VERSION set to the version the tool must print for --version,
# and TQIPC_RUNNER set to the program that runs both (wine) when they are
# Windows programs.
set -u
runner=${TQIPC_RUNNER:-}
tqipc=$1
helper=$2
work=$3
rm -rf "$work" && mkdir -p "$work/registry" || exit 1
# The master publishes its window in the registry: a private store.
export TQRTL_REGISTRY_DIR=$work/registry
failures=0

# run <expected exit> <expected output (extended regex), or -> args...
run() {
  local code=$1 expected=$2
  shift 2
  local status
  out=$($runner "$tqipc" "$@" 2>&1)
  status=$?
  out=${out//$'\r'/}  # a Windows program's line ends
  if [ "$status" != "$code" ]; then
    echo "FAIL: tqipc $*: exit $status, expected $code; output: $out"
    failures=$((failures + 1))
  elif [ "$expected" != - ] && ! grep -Eq -- "$expected" <<<"$out"; then
    echo "FAIL: tqipc $*: output '$out' does not match '$expected'"
    failures=$((failures + 1))
  fi
}

name=tqipc$$
ready=$work/ready
$runner "$helper" ipc-master "$name" "$ready" &
master=$!
for _ in $(seq 1 1500); do
  [ -s "$ready" ] && break
  sleep 0.02
done
read -r window pid _ < <(tr -d '\r' <"$ready") || { echo "FAIL: the master did not come up"; kill $master; exit 1; }
hex=$(printf '0x%x' "$window")

# The master's line: its window, its process and its title.
run 0 "^$window +$pid +Master IPC Trace\$" list
run 0 '^bool true$' ping "$window"
run 0 '^bool true$' ping "$hex"
run 0 '^dword 7$' send "$window" 0x501 7
letters=$(printf 'abcdefghijklmnopqrstuvwxyz%.0s' $(seq 10) | cut -c1-254)
run 0 "^text \"$letters\"\$" send "$window" 0x502 254
run 0 '^empty$' send "$window" 0x503
run 3 '^no reply' send "$window" 0x504 0 -5
# The master's receiver hangs for 3 s; the tool gives up after 300 ms.
run 2 'timed out' send "$window" 0x505 3000 /t 300

# The command line.
run 0 '^usage: tqipc list' /?
usage=$out
for spelling in --help -h '-?'; do
  run 0 '^usage: tqipc list' "$spelling"
  [ "$out" = "$usage" ] || { echo "FAIL: tqipc $spelling differs from /?"; failures=$((failures + 1)); }
done
run 0 - --version
[ "$out" = "tqipc $TQRTL_VERSION" ] || { echo "FAIL: tqipc --version: '$out'"; failures=$((failures + 1)); }
run 1 'usage' ""
run 1 'unknown command' frob
run 1 'wrong number' send "$window" 0x501 1 2 3
run 1 'bad HANDLE' ping 12abc
run 1 'bad HANDLE' ping 0x100000000
run 1 'MSG must be' send "$window" 0x10
run 1 'bad LPARAM' send "$window" 0x501 1 2147483648

# Closing the master through the tool; then its window is gone.
run 0 '^bool true$' send "$window" 0x50D
wait $master
status=$?
[ "$status" = 0 ] || { echo "FAIL: the master ended with $status"; failures=$((failures + 1)); }
run 2 'not a messaging endpoint' ping "$window"
run 0 - list
if grep -Eq "^$window " <<<"$out"; then
  echo "FAIL: list still shows the closed master: $out"
  failures=$((failures + 1))
fi

[ "$failures" = 0 ] && echo "tqipc: all checks passed"
exit $((failures > 0))
