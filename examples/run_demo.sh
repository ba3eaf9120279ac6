#!/usr/bin/env bash
# Runs the demo: a master tool with its plug-in, and a slave tool beside it.
#
#   run_demo.sh BIN REGFILE WORKDIR
#
# BIN holds the built programs (tqdemo_master, tqdemo_slave, tqreg, tqipc),
# REGFILE the registry settings that name the plug-in, WORKDIR a scratch
# folder for the private registry and the workspace; it is deleted at the
# end unless DEMO_KEEP=1. The user's own registry is never touched.
#
# For the Windows build's programs set DEMO_RUNNER=wine: they then run
# under Wine, and the registry is that of the Wine prefix ($WINEPREFIX, which
# should be one of the build's own), from which the demo's keys are deleted
# again at the end.
#
# Prints a transcript (each line says which process wrote it) and exits 0
# when every step went as expected, 1 otherwise.
set -u
bin=$1
regfile=$2
work=$(realpath -m "$3")
runner=${DEMO_RUNNER:-}
exe=""
[ -n "$runner" ] && exe=.exe
master_exe=$bin/tqdemo_master$exe
slave_exe=$bin/tqdemo_slave$exe
tqipc_exe=$bin/tqipc$exe

say() { printf '%-10s %s\n' "[demo]" "$*"; }
status=0
fail() {
  say "FAILED: $*"
  status=1
}

master=""
cleanup() {
  # Only the master this script started, and only when it is still there
  # (a failed step).
  if [ -n "$master" ] && kill -0 "$master" 2>/dev/null; then
    kill -TERM "$master" 2>/dev/null
    wait "$master" 2>/dev/null
  fi
  if [ "${DEMO_KEEP:-0}" = 1 ]; then
    say "kept for a look: TQRTL_REGISTRY_DIR=$work/registry, workspace $work/demo.tqs"
  else
    rm -rf "$work"
    if [ -n "$runner" ]; then
      # Wine's registry is not in the scratch folder: take the demo's keys out.
      for key in 'HKLM\Software\Vantor\Demo Master' 'HKLM\Software\Vantor\Demo Slave' \
        'HKCU\Software\Vantor\Demo Master' 'HKCU\Software\Vantor\Demo Slave'; do
        $runner reg delete "$key" /f >/dev/null 2>&1
      done
      $runner reg delete 'HKCU\Software\Vantor\IPC' /v TQIPC_TQShell_ENV_VAR /f >/dev/null 2>&1
    fi
  fi
}
trap cleanup EXIT

# Wait up to 30 s for a process; its exit code in $waited.
wait_for_exit() {
  local pid=$1
  for _ in $(seq 1 600); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then
    waited=timeout
  else
    wait "$pid"
    waited=$?
  fi
}

rm -rf "$work"
mkdir -p "$work/registry" "$work/sources" || exit 1
chmod 700 "$work/registry"
# Every program below reads and writes this registry, not the user's.
export TQRTL_REGISTRY_DIR=$work/registry

if [ -z "$runner" ]; then
  say "1. A private registry in $work/registry, with the plug-in's settings"
  reg=("$bin/tqreg")
  label="[tqreg]"
else
  say "1. The plug-in's settings in the registry of the Wine prefix ${WINEPREFIX:-~/.wine}"
  reg=($runner reg)
  label="[reg]"
fi
if imported=$("${reg[@]}" import "$regfile" 2>&1); then
  "${reg[@]}" query 'HKLM\Software\Vantor\Demo Master' /s | tr -d '\r' |
    sed -e '/^$/d' -e "s/^/$(printf '%-10s ' "$label")/"
else
  fail "${reg[*]} import $regfile: $imported"
fi

say "2. The master starts: its plug-in first, then its endpoint"
$runner "$master_exe" "$work/demo.tqs" --ready "$work/ready" &
master=$!
window=""
for _ in $(seq 1 600); do
  [ -s "$work/ready" ] && break
  kill -0 "$master" 2>/dev/null || break
  sleep 0.05
done
if [ -s "$work/ready" ]; then
  read -r window <"$work/ready"
  window=${window%$'\r'}
  rm -f "$work/ready"
else
  wait_for_exit "$master"
  fail "the master did not start (exit $waited)"
  master=""
  exit 1
fi

say "3. The slave attaches, works on the master's workspace, detaches"
echo 'int main(void) { return 0; }' >"$work/sources/hello.c"
timeout 60 $runner "$slave_exe" run "$work/sources" hello.c || fail "tqdemo_slave run: exit $?"

say "4. tqipc pings the master's endpoint (window $window)"
if reply=$($runner "$tqipc_exe" ping "$window" 2>&1 | tr -d '\r') && [ "$reply" = "bool true" ]; then
  printf '%-10s %s\n' "[tqipc]" "$reply"
else
  fail "tqipc ping $window: $reply"
fi

say "5. A slave asks the master to stop; the master shuts down"
timeout 60 $runner "$slave_exe" stop || fail "tqdemo_slave stop: exit $?"
wait_for_exit "$master"
[ "$waited" = 0 ] || fail "the master ended with $waited"
master=""

say "6. Nothing left behind"
if $runner "$tqipc_exe" list 2>/dev/null | tr -d '\r' | awk -v w="$window" '$1 == w { found = 1 } END { exit !found }'; then
  fail "the master's endpoint $window is still listed"
fi

if [ $status = 0 ]; then
  say "every step went as expected"
else
  say "some steps failed (see above)"
fi
exit $status
