#!/usr/bin/env bash
# Runs the tools of an installed tree the way a user who installed them
# would: from the tree's bin/, with a clean environment (no LD_LIBRARY_PATH),
# then from a copy of the tree moved elsewhere, and reads their manual
# pages. Called by ctest as
#   installed_tools_test.sh <prefix> <bindir> <libdir> <mandir> <version> <scratch directory>
# for an install prefix and for the unpacked Debian package alike.
set -u
prefix=$1 bindir=$2 libdir=$3 mandir=$4 version=$5 work=$6
tools=(tqreg tqstore tqipc)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
rm -rf "$work" && mkdir -p "$work" || exit 1

# check_tools <prefix>: each tool starts with nothing in its environment and
# does real work there.
check_tools() {
  local root=$1 tool out
  for tool in "${tools[@]}"; do
    local program=$root/$bindir/$tool
    if [ ! -x "$program" ]; then
      fail "$program is missing"
      continue
    fi
    # The run path names the library's folder relative to the program, and
    # nothing of the build tree.
    local runpath
    runpath=$(readelf -d "$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    [ "$runpath" = "\$ORIGIN/../$libdir" ] || fail "$tool: run path '$runpath', expected \$ORIGIN/../$libdir"
    # The library it loads is the tree's own.
    local loaded
    loaded=$(env -i ldd "$program" | sed -n 's/^[[:space:]]*libtqrtl\.so\.[0-9]* => \([^ ]*\).*/\1/p')
    [ -n "$loaded" ] && [ "$(realpath -m "$(dirname "$loaded")")" = "$(realpath "$root/$libdir")" ] ||
      fail "$tool loads libtqrtl from '$loaded', not from $root/$libdir"
    out=$(env -i "$program" --version 2>&1)
    [ "$out" = "$tool $version" ] || fail "$tool --version: '$out'"
  done

  out=$(env -i "$root/$bindir/tqstore" put "$work/work.tqs" notes "$work/notes.txt" 2>&1) ||
    fail "tqstore put: $out"
  out=$(env -i "$root/$bindir/tqstore" list "$work/work.tqs" 2>&1)
  grep -Eq '^ +6  notes[[:space:]]*$' <<<"$out" || fail "tqstore list: '$out'"
  out=$(env -i "$root/$bindir/tqstore" cat "$work/work.tqs" notes 2>&1)
  [ "$out" = "hello" ] || fail "tqstore cat: '$out'"

  local registry=$work/registry-$RANDOM
  out=$(env -i TQRTL_REGISTRY_DIR="$registry" "$root/$bindir/tqreg" add 'HKCU\Software\Vantor\Pkg' \
        /v Width /t REG_DWORD /d 640 /f 2>&1) || fail "tqreg add: $out"
  out=$(env -i TQRTL_REGISTRY_DIR="$registry" "$root/$bindir/tqreg" query 'HKCU\Software\Vantor\Pkg' \
        /v Width 2>&1)
  grep -Eq 'Width +REG_DWORD +0x280' <<<"$out" || fail "tqreg query: '$out'"

  out=$(env -i TQRTL_REGISTRY_DIR="$registry" "$root/$bindir/tqipc" list 2>&1)
  grep -Eq '^WINDOW +PID +TITLE' <<<"$out" || fail "tqipc list: '$out'"
}

printf 'hello\n' >"$work/notes.txt"
check_tools "$prefix"

# The same tree moved as a whole: the tools go with their library.
moved=$work/moved/somewhere/else
mkdir -p "$moved"
cp -a "$prefix/." "$moved/" || exit 1
rm -f "$work/work.tqs"
check_tools "$moved"
rm -rf "$work/moved"

# The manual pages: each renders without a warning, says what the tool is,
# and quotes the tool's help as the tool prints it.
for tool in "${tools[@]}"; do
  page=$prefix/$mandir/man1/$tool.1.gz
  if [ ! -f "$page" ]; then
    fail "$page is missing"
    continue
  fi
  if command -v man >/dev/null; then
    text=$(MANWIDTH=200 MAN_KEEP_FORMATTING= man --warnings=w -l "$page" 2>"$work/warnings")
  else
    text=$(zcat "$page" | groff -man -Tutf8 -ww -rLL=200n 2>"$work/warnings" | col -bx)
  fi
  [ -s "$work/warnings" ] && fail "$tool.1: warnings: $(cat "$work/warnings")"
  grep -Eq "^ +$tool - .+" <<<"$text" || fail "$tool.1: no NAME line"
  grep -q "TQRTL $version" <<<"$text" || fail "$tool.1: no version $version"
  while IFS= read -r line; do
    [ -z "${line// /}" ] && continue
    grep -qF -- "$line" <<<"$text" || fail "$tool.1 lacks the help line '$line'"
  done < <(env -i "$prefix/$bindir/$tool" --help)
  if command -v lexgrog >/dev/null; then
    lexgrog "$page" | grep -q "\"$tool - " || fail "$tool.1: lexgrog finds no NAME: $(lexgrog "$page")"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "installed tools: all checks passed"
