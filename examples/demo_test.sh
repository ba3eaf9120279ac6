#!/usr/bin/env bash
# The demo's programs in real processes: the whole run through run_demo.sh,
# and the ways it must fail. Called by ctest as
#   demo_test.sh <bin directory> <demo.reg> <scratch directory>
set -u
bin=$1
regfile=$2
scratch=$3
here=$(dirname "$0")
rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
unset TQIPC_TQShell_ENV_VAR  # the slaves must find the master in the registry
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# in_order FILE PATTERN...: each pattern (extended regex) matches a line
# after the line the one before it matched.
in_order() {
  local file=$1 line=0 found
  shift
  for pattern in "$@"; do
    found=$(tail -n +$((line + 1)) "$file" | grep -nE -m1 -- "$pattern" | cut -d: -f1)
    if [ -z "$found" ]; then
      fail "no line matching '$pattern' after line $line of the transcript"
      return
    fi
    line=$((line + found))
  done
}

# 1. The whole demo, kept so that its registry can be used below.
out=$scratch/transcript
DEMO_KEEP=1 bash "$here/run_demo.sh" "$bin" "$regfile" "$scratch/run" >"$out" 2>&1
code=$?
cat "$out"
[ $code = 0 ] || fail "run_demo.sh exited $code"
in_order "$out" \
  '^\[plug-in\] +loaded into the master' \
  '^\[plug-in\] +started' \
  '^\[master\] +endpoint open \(window [0-9]+\)' \
  '^\[master\] +a slave asks for the workspace: .*/run/demo\.tqs$' \
  '^\[slave\] +loaded the master.s workspace .*/run/demo\.tqs' \
  '^\[slave\] +"build" runs' \
  '^\[plug-in\] +refuses "clean"' \
  '^\[slave\] +was told "clean" did not run' \
  '^\[slave\] +"clean" was refused' \
  '^\[slave\] +looks for hello\.c along .*: not found$' \
  '^\[slave\] +looks for hello\.c again: .*/run/sources/hello\.c$' \
  '^\[master\] +reloaded the workspace: source paths ".*/run/sources"' \
  '^\[tqipc\] +bool true$' \
  '^\[master\] +a slave asked me to stop' \
  '^\[plug-in\] +shut down' \
  '^\[plug-in\] +unloaded' \
  '^\[master\] +shut down: plug-ins stopped and unloaded' \
  '^\[demo\] +every step went as expected'
grep -q FAILED "$out" && fail "a step of the demo failed"
window=$(sed -nE 's/^\[master\] +endpoint open \(window ([0-9]+)\).*/\1/p' "$out")

# 2. A slave with no master: nobody has ever published one, or the one
# published in the registry (the demo's master above) has gone.
for registry in "$scratch/empty" "$scratch/run/registry"; do
  mkdir -p "$registry" && chmod 700 "$registry"
  slave=$(TQRTL_REGISTRY_DIR=$registry timeout 60 "$bin/tqdemo_slave" run "$scratch" x.c 2>&1)
  code=$?
  [ $code = 2 ] || fail "slave without a master ($registry): exit $code, expected 2: $slave"
  grep -q 'cannot attach: no master is running' <<<"$slave" ||
    fail "slave without a master: no clear message: $slave"
done
TQRTL_REGISTRY_DIR=$scratch/run/registry "$bin/tqreg" query 'HKCU\Software\Vantor\IPC' \
  /v TQIPC_TQShell_ENV_VAR | grep -q "$(printf '0x%x' "${window:-0}")" ||
  fail "the registry did not hold the gone master's window $window (case 2 tested nothing)"

# 3. The plug-in cannot be found: the master's start-up fails, the demo says
# so and exits 1, and no master is left running.
sed 's|"InstallDir"="[^"]*"|"InstallDir"="/nonexistent"|' "$regfile" >"$scratch/broken.reg"
bash "$here/run_demo.sh" "$bin" "$scratch/broken.reg" "$scratch/broken" >"$out" 2>&1
code=$?
cat "$out"
[ $code = 1 ] || fail "demo with a missing plug-in: exit $code, expected 1"
in_order "$out" '^\[master\] +start-up failed' '^\[demo\] +FAILED: the master did not start \(exit 3\)'
grep -q '^\[slave\]' "$out" && fail "a slave ran although the master did not start"
[ -e "$scratch/broken" ] && fail "the failed demo left its scratch folder behind"

# 4. A signal stops the master cleanly: its plug-in is shut down and unloaded.
export TQRTL_REGISTRY_DIR=$scratch/run/registry
"$bin/tqdemo_master" "$scratch/signal.tqs" --ready "$scratch/ready" >"$out" 2>&1 &
master=$!
for _ in $(seq 1 600); do
  [ -s "$scratch/ready" ] && break
  sleep 0.05
done
kill -TERM $master
wait $master
code=$?
cat "$out"
[ $code = 0 ] || fail "master stopped by SIGTERM: exit $code, expected 0"
in_order "$out" '^\[master\] +signal 15: stopping' '^\[plug-in\] +shut down' \
  '^\[plug-in\] +unloaded' '^\[master\] +shut down: plug-ins stopped'

[ $failures = 0 ] && rm -rf "$scratch"
echo "$failures failure(s)"
[ $failures = 0 ]
