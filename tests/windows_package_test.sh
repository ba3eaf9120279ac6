#!/usr/bin/env bash
# Checks that an installed Windows package runs from its bin/ folder alone.
#
#   windows_package_test.sh OBJDUMP WINE BIN
#
# 1. Every DLL that an installed .exe or .dll imports is a Windows system
#    DLL or lies in BIN.
# 2. Every installed program starts (runs --help) under WINE from a scratch
#    folder, with no WINEPATH: the loader finds all it needs beside it.
# 3. The start fails when any DLL of BIN that something imports is taken
#    away. This shows that Wine does not find the DLLs anywhere else (a
#    MinGW folder on the path, a copy in the prefix), so that the passes
#    above, and the consumer's, mean what they say.
set -uo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 OBJDUMP WINE BIN" >&2
  exit 2
fi
objdump=$1 wine=$2 bin=$3

# The DLLs every Windows installation has. The MinGW run-time (lib*.dll) is
# deliberately not among them.
system_dlls='^(kernel32|kernelbase|ntdll|user32|gdi32|advapi32|msvcrt|ucrtbase|shell32|ole32|oleaut32|comctl32|comdlg32|shlwapi|version|winmm|ws2_32|rpcrt4|bcrypt|crypt32|secur32|imm32|psapi|dbghelp|api-ms-win-[a-z0-9-]+|ext-ms-win-[a-z0-9-]+)\.dll$'

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

lower() { tr '[:upper:]' '[:lower:]'; }

shopt -s nullglob nocaseglob
binaries=("$bin"/*.exe "$bin"/*.dll)
programs=("$bin"/*.exe)
shopt -u nocaseglob
[ -f "$bin/tqrtl.dll" ] || fail "$bin/tqrtl.dll is not installed"
[ ${#programs[@]} -gt 0 ] || fail "no program is installed in $bin"

declare -A present=()   # lower-case name -> file name in BIN
for file in "${binaries[@]}"; do
  name=$(basename "$file")
  present[$(lower <<<"$name")]=$name
done

# 1. Imports.
declare -A imported=()  # DLLs of BIN that some installed binary imports
for file in "${binaries[@]}"; do
  if ! imports=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p'); then
    fail "$objdump cannot read $file"
    continue
  fi
  [ -n "$imports" ] || fail "$objdump lists no imports of $file"
  while read -r dll; do
    [ -n "$dll" ] || continue
    key=$(lower <<<"$dll")
    if [[ $key =~ $system_dlls ]]; then
      continue
    elif [ -n "${present[$key]:-}" ]; then
      imported[$key]=${present[$key]}
    else
      fail "$(basename "$file") imports $dll, which is neither a system DLL nor in $bin"
    fi
  done <<<"$imports"
done
echo "DLLs of bin/ that installed binaries import: ${imported[*]:-none}"
[ -n "${imported[tqrtl.dll]:-}" ] || fail "no installed program imports tqrtl.dll"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/cwd"

# run DIR PROGRAM: starts DIR/PROGRAM --help in an empty folder, with no
# search path from outside. Prints its output; returns its exit code.
run() {
  (cd "$scratch/cwd" && env -u WINEPATH -u WINEDLLPATH \
     "$wine" "$1/$2" --help 2>&1)
}

# 2. Each installed program starts from bin/ alone.
for program in "${programs[@]}"; do
  name=$(basename "$program")
  output=$(run "$bin" "$name")
  status=$?
  if [ $status -ne 0 ]; then
    fail "$name --help exits with $status under Wine without WINEPATH: $output"
  elif ! grep -qi usage <<<"$output"; then
    fail "$name --help prints no usage: $output"
  else
    echo "$name starts from bin/ alone"
  fi
done

# 3. Without any one of the DLLs, the programs do not start.
for key in "${!imported[@]}"; do
  dll=${imported[$key]}
  copy="$scratch/without-$key"
  cp -R "$bin" "$copy"
  rm -f "$copy/$dll"
  started=()
  for program in "${programs[@]}"; do
    name=$(basename "$program")
    if run "$copy" "$name" >/dev/null; then
      started+=("$name")
    fi
  done
  if [ ${#started[@]} -eq ${#programs[@]} ]; then
    fail "every program starts without $dll, so Wine finds it outside bin/: ${started[*]}"
  else
    echo "without $dll: does not start (as it must)"
  fi
  rm -rf "$copy"
done

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "the package in $bin is self-contained"
