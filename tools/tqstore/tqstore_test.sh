#!/usr/bin/env bash
# Runs tqstore on storage files it makes and damages, checking its output,
# its exit codes and what it leaves on disk. Called by ctest as
#   tqstore_test.sh <tqstore> <scratch directory>
# with TQSTORE_RUNNER set to the program that runs it (wine) when the tool
# is a Windows program.
set -u
runner=${TQSTORE_RUNNER:-}
tqstore=$1
work=$2
rm -rf "$work" && mkdir -p "$work" || exit 1
store=$work/work.tqs
failures=0

# run <expected exit> <expected output (extended regex), or -> args...
run() {
  local code=$1 expected=$2
  shift 2
  local out status
  out=$($runner "$tqstore" "$@" 2>&1)
  status=$?
  if [ "$status" != "$code" ]; then
    echo "FAIL: tqstore $*: exit $status, expected $code; output: $out"
    failures=$((failures + 1))
  elif [ "$expected" != - ] && ! grep -Eq -- "$expected" <<<"$out"; then
    echo "FAIL: tqstore $*: output '$out' does not match '$expected'"
    failures=$((failures + 1))
  fi
}

expect_same() {  # expect_same <file> <file> <what>
  if ! cmp -s "$1" "$2"; then
    echo "FAIL: $3"
    failures=$((failures + 1))
  fi
}

printf alpha >"$work/a.txt"
printf 'bravo bravo' >"$work/b.txt"
printf 'ALPHA, again' >"$work/a2.txt"
printf '\0\1\2\377' >"$work/bin"

# Build a storage, look into it, replace and remove sections.
run 1 usage bogus
run 1 usage list
run 0 usage --help
run 0 - put "$store" first "$work/a.txt"
run 0 - put "$store" second "$work/b.txt"
run 0 - put "$store" binary "$work/bin"
run 0 "ok, 3 sections, 816 bytes" check "$store"
run 0 "^ +5  first[[:space:]]*$" list "$store"
run 0 "^ +11  second[[:space:]]*$" list "$store"
run 0 "^alpha$" cat "$store" first
run 0 - extract "$store" binary "$work/out"
expect_same "$work/bin" "$work/out" "extract copies binary bytes exactly"
run 0 - put "$store" first "$work/a2.txt"
run 0 "^ALPHA, again$" cat "$store" first
run 0 "^bravo bravo$" cat "$store" second
run 4 'no section "third"' cat "$store" third
run 4 'no section "third"' remove "$store" third
run 0 - remove "$store" first
run 0 "^ +11  second[[:space:]]*$" list "$store"
run 0 "ok, 2 sections" check "$store"

# Failures change nothing.
cp "$store" "$work/before.tqs"
run 2 "missing.txt" put "$store" x "$work/missing.txt"
run 2 "nothing.tqs" list "$work/nothing.tqs"
run 1 "260 bytes" put "$store" "$(printf 'n%.0s' {1..261})" "$work/a.txt"
expect_same "$work/before.tqs" "$store" "failed commands leave the file alone"
[ -e "$store.tqstore-new" ] && { echo "FAIL: a temporary file was left"; failures=$((failures + 1)); }

# Damage. A repeated name:
damaged=$work/damaged.tqs
entry() {  # entry <name> <size as \x escapes>: a 264-byte directory entry
  printf '%s' "$1"
  head -c $((260 - ${#1})) /dev/zero
  printf "$2"
}
{ printf '\2\0\0\0'; entry a '\0\0\0\0'; entry a '\0\0\0\0'; } >"$damaged"
cp "$damaged" "$work/damaged.before"
run 3 'section 1 \(directory entry at offset 268\) repeats the name "a"' check "$damaged"
run 3 'repeats the name' put "$damaged" b "$work/a.txt"
expect_same "$work/damaged.before" "$damaged" "a damaged file is not repaired by put"
# A size that lies:
{ printf '\1\0\0\0'; entry a '\20\0\0\0'; printf abc; } >"$damaged"
run 3 'declares 16 bytes of data at offset 268 but the file ends after 3' check "$damaged"
run 3 'declares 16 bytes' list "$damaged"
# Four billion sections:
{ printf '\377\377\377\377'; entry a '\0\0\0\0'; } >"$damaged"
run 3 'directory of 4294967295 sections' check "$damaged"
# Cut short, and bytes after the last section's data:
head -c 300 "$store" >"$damaged"
run 3 'damaged' check "$damaged"
{ cat "$store"; printf junk; } >"$damaged"
run 3 '4 bytes after the last section' check "$damaged"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "all tqstore checks passed"
