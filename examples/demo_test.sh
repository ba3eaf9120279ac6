#!/usr/bin/env bash
# The demo's programs in real processes: the whole run through run_demo.sh,
# and the ways it must fail. Called by ctest as
#   demo_test.sh <bin directory> <demo.reg> <scratch directory>
# with DEMO_RUNNER=wine for the Windows build's programs (see run_demo.sh).
set -u
bin=$1
regfile=$2
scratch=$3
here=$(dirname "$0")
runner=${DEMO_RUNNER:-}
exe=""
[ -n "$runner" ] && exe=.exe
rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
unset TQIPC_TQShell_ENV_VAR  # the slaves must find the master in the registry
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The end: the scratch folder goes when all passed, and (under Wine) the
# demo's keys go from the prefix's registry; the exit code tells.
finish() {
  if [ -n "$runner" ]; then
    for key in 'HKLM\Software\Vantor\Demo Master' 'HKLM\Software\Vantor\Demo Slave' \
      'HKCU\Software\Vantor\Demo Master' 'HKCU\Software\Vantor\Demo Slave'; do
      $runner reg delete "$key" /f >/dev/null 2>&1
    done
  fi
  [ $failures = 0 ] && rm -rf "$scratch"
  echo "$failures failure(s)"
  [ $failures = 0 ]
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

# A Windows program's line ends, and its paths (the same tests hold for
# either separator).
transcript() { tr -d '\r' | tr '\\' / >"$out"; cat "$out"; }

# 1. The whole demo, kept so that its registry can be used below.
out=$scratch/transcript
DEMO_KEEP=1 bash "$here/run_demo.sh" "$bin" "$regfile" "$scratch/run" 2>&1 | transcript
code=${PIPESTATUS[0]}
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

# 2. A slave with no master: the one published in the registry (the demo's
# master above) has gone, or nobody has published one.
if [ -z "$runner" ]; then
  export TQRTL_REGISTRY_DIR=$scratch/run/registry
  reg=("$bin/tqreg")
else
  reg=($runner reg)
fi
"${reg[@]}" query 'HKCU\Software\Vantor\IPC' /v TQIPC_TQShell_ENV_VAR |
  grep -qi "$(printf '0x%x' "${window:-0}")" ||
  fail "the registry does not hold the gone master's window $window"
# (Wine hands a gone window's number to the next window made, which may be
# the slave's own: the slave must not take itself for the master.)
for published in gone none; do
  if [ $published = none ]; then
    "${reg[@]}" delete 'HKCU\Software\Vantor\IPC' /v TQIPC_TQShell_ENV_VAR /f >/dev/null 2>&1 ||
      fail "could not delete the published window"
  fi
  slave=$(timeout 60 $runner "$bin/tqdemo_slave$exe" run "$scratch" x.c 2>&1)
  code=$?
  [ $code = 2 ] || fail "slave without a master ($published): exit $code, expected 2: $slave"
  grep -q 'cannot attach: no master is running' <<<"$slave" ||
    fail "slave without a master ($published): no clear message: $slave"
done

# 3. The plug-in cannot be found: the master's start-up fails, the demo says
# so and exits 1, and no master is left running.
sed 's|"InstallDir"="[^"]*"|"InstallDir"="/nonexistent"|' "$regfile" >"$scratch/broken.reg"
bash "$here/run_demo.sh" "$bin" "$scratch/broken.reg" "$scratch/broken" 2>&1 | transcript
code=${PIPESTATUS[0]}
[ $code = 1 ] || fail "demo with a missing plug-in: exit $code, expected 1"
in_order "$out" '^\[master\] +start-up failed' '^\[demo\] +FAILED: the master did not start \(exit 3\)'
grep -q '^\[slave\]' "$out" && fail "a slave ran although the master did not start"
[ -e "$scratch/broken" ] && fail "the failed demo left its scratch folder behind"

# 4. A signal stops the master cleanly: its plug-in is shut down and
# unloaded. (Linux only: Wine has no way to send a Windows program SIGTERM.)
[ -n "$runner" ] && { finish; exit; }
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

finish
