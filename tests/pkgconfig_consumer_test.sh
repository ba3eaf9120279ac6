#!/usr/bin/env bash
# Builds the consumer program as a project without CMake would, with a plain
# Makefile and the flags of the installed tqrtl.pc, and runs it with a clean
# environment. Called by ctest as
#   pkgconfig_consumer_test.sh <prefix> <libdir> <version> <c++ compiler>
#                              <consumer sources> <scratch directory>
set -u
prefix=$1 libdir=$2 version=$3 cxx=$4 source=$5 work=$6
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
rm -rf "$work" && mkdir -p "$work" || exit 1

# Only the tree's own tqrtl.pc can answer (the system's folders stay on the
# path for sqlite3.pc).
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ -f "$PKG_CONFIG_PATH/tqrtl.pc" ] || { echo "FAIL: no $PKG_CONFIG_PATH/tqrtl.pc"; exit 1; }

out=$(pkg-config --modversion tqrtl 2>&1)
[ "$out" = "$version" ] || fail "modversion: '$out', expected $version"
out=$(pkg-config --variable=prefix tqrtl)
[ "$(realpath -m "$out")" = "$(realpath "$prefix")" ] || fail "prefix '$out' is not $prefix"
out=$(pkg-config --print-requires-private tqrtl)
grep -qw sqlite3 <<<"$out" || fail "Requires.private lacks sqlite3: '$out'"
flags=$(pkg-config --cflags --libs tqrtl)
grep -q -- '-ltqrtl' <<<"$flags" || fail "no -ltqrtl in '$flags'"
# The include folder holds the headers, the version header among them.
include=$(pkg-config --variable=includedir tqrtl)
for header in tqrtl/tqrtl.h tqrtl/version.h; do
  [ -f "$include/$header" ] || fail "$include/$header is missing"
done
# Static linking takes SQLite along.
grep -q -- '-lsqlite3' <<<"$(pkg-config --static --libs tqrtl)" || fail "--static --libs lacks -lsqlite3"

if ! make -s -C "$work" -f "$source/Makefile" SRCDIR="$source" CXX="$cxx" >"$work/make.log" 2>&1; then
  cat "$work/make.log"
  fail "the Makefile project does not build"
else
  # The program starts with nothing in its environment, and was linked
  # against the tree's library, not another one.
  out=$(env -i "$work/consumer" 2>&1)
  status=$?
  [ "$status" = 0 ] || fail "consumer exited $status: $out"
  grep -qx "Hello from consumer" <<<"$out" || fail "consumer printed '$out'"
  IFS=. read -r major minor patch <<<"$version"
  grep -qx "TQRTL $version ($major.$minor.$patch)" <<<"$out" ||
    fail "consumer's headers are not version $version: '$out'"
  loaded=$(env -i ldd "$work/consumer" | sed -n 's/^[[:space:]]*libtqrtl\.so\.[0-9]* => \([^ ]*\).*/\1/p')
  [ -n "$loaded" ] && [ "$(realpath -m "$(dirname "$loaded")")" = "$(realpath "$prefix/$libdir")" ] ||
    fail "consumer loads libtqrtl from '$loaded'"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "pkg-config consumer: all checks passed"
