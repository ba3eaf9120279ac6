#!/usr/bin/env bash
# windows_package_test.sh OBJDUMP WINE BIN: an installed Windows package runs
# from its bin/ alone. 1. Every DLL an installed binary imports is a system
# DLL or in BIN. 2. Every program runs --help under WINE with no WINEPATH.
# 3. Without any imported DLL of BIN some program fails to start: Wine finds
# them nowhere else, so passes 1 and 2 mean what they say.
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: $0 OBJDUMP WINE BIN" >&2; exit 2; }
objdump=$1 wine=$2 bin=$3

# The DLLs every Windows installation has; the MinGW run-time (lib*.dll) is
# deliberately not among them.
system_dlls='^(kernel32|kernelbase|ntdll|user32|gdi32|advapi32|msvcrt|ucrtbase|shell32|ole32|oleaut32|comctl32|comdlg32|shlwapi|version|winmm|ws2_32|rpcrt4|bcrypt|crypt32|secur32|imm32|psapi|dbghelp|api-ms-win-[a-z0-9-]+|ext-ms-win-[a-z0-9-]+)\.dll$'

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

shopt -s nullglob nocaseglob
binaries=("$bin"/*.exe "$bin"/*.dll)
programs=("$bin"/*.exe)
shopt -u nocaseglob
[ ${#programs[@]} -gt 0 ] || fail "no program is installed in $bin"
declare -A present=() imported=()  # lower-case name -> file name in BIN
for file in "${binaries[@]}"; do
  name=$(basename "$file")
  present[${name,,}]=$name
done

# 1. Imports.
for file in "${binaries[@]}"; do
  imports=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
  [ -n "$imports" ] || fail "$objdump lists no imports of $file"
  while read -r dll; do
    key=${dll,,}
    if [ -n "${present[$key]:-}" ]; then
      imported[$key]=${present[$key]}
    elif [ -n "$key" ] && ! [[ $key =~ $system_dlls ]]; then
      fail "$(basename "$file") imports $dll, which is neither a system DLL nor in $bin"
    fi
  done <<<"$imports"
done
[ -n "${imported[tqrtl.dll]:-}" ] || fail "no installed program imports tqrtl.dll"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/cwd"
# run DIR PROGRAM: DIR/PROGRAM --help in an empty folder, with no search
# path from outside; its output, and its exit code.
run() { (cd "$scratch/cwd" && env -u WINEPATH -u WINEDLLPATH "$wine" "$1/$2" --help 2>&1); }

# 2. Each installed program starts from bin/ alone.
for program in "${programs[@]}"; do
  name=$(basename "$program")
  output=$(run "$bin" "$name")
  status=$?
  [ $status -eq 0 ] && grep -qi usage <<<"$output" ||
    fail "$name --help under Wine without WINEPATH: exit $status, $output"
done

# 3. Without any one of the DLLs, some program does not start.
for key in "${!imported[@]}"; do
  dll=${imported[$key]}
  copy="$scratch/without-$key"
  cp -R "$bin" "$copy" && rm -f "$copy/$dll"
  started=0
  for program in "${programs[@]}"; do
    run "$copy" "$(basename "$program")" >/dev/null && started=$((started + 1))
  done
  [ $started -lt ${#programs[@]} ] || fail "every program starts without $dll: Wine finds it outside bin/"
  rm -rf "$copy"
done

[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "the package in $bin is self-contained"
