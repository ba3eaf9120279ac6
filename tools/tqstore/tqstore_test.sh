#!/usr/bin/env bash
# Runs tqstore on storage files it makes and damages, checking its output,
# its exit codes and what it leaves on disk. Called by ctest as
#   tqstore_test.sh <tqstore> <scratch directory>
# with TQRTL_VERSION set to the version the tool must print for --version,
# and TQSTORE_RUNNER set to the program that runs it (wine) when the tool
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

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
temporaries() { ls "$work" | grep -q '^work\.tqs\.~'; }

printf alpha >"$work/a.txt"
printf 'bravo bravo' >"$work/b.txt"
printf 'ALPHA, again' >"$work/a2.txt"
printf '\0\1\2\377' >"$work/bin"

# Build a storage, look into it, replace and remove sections.
run 1 usage bogus
run 1 usage list
run 0 usage --help
help=$($runner "$tqstore" --help | tr -d '\r')
for spelling in -h '/?' '-?'; do
  [ "$($runner "$tqstore" "$spelling" | tr -d '\r')" = "$help" ] || fail "tqstore $spelling differs from --help"
done
run 1 usage --help extra
version=$($runner "$tqstore" --version 2>&1 | tr -d '\r')
[ "$version" = "tqstore $TQRTL_VERSION" ] || fail "tqstore --version printed '$version'"
run 1 usage --version extra
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
temporaries && fail "a temporary file was left"

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

# Neither the storage nor an input may be a directory, nor the output of
# extract the storage itself: refused, and the file stays as it was.
cp "$store" "$work/before.tqs"
mkdir -p "$work/dir.tqs"
run 2 'is the storage file itself' extract "$store" second "$store"
run 2 'dir.tqs: is a directory' put "$work/dir.tqs" x "$work/a.txt"
run 2 'is a directory' put "$store" x "$work/dir.tqs"
expect_same "$work/before.tqs" "$store" "a refused command changed the file"

# Eight writers at once, each adding its own section: each waits for the
# others, and every section is there at the end.
many=$work/concurrent.tqs
for i in 1 2 3 4 5 6 7 8; do
  printf "writer $i" >"$work/w$i"
  { $runner "$tqstore" put "$many" "w$i" "$work/w$i" || echo "put $i: exit $?"; } >>"$work/writers" 2>&1 &
done
wait
grep -q 'exit' "$work/writers" && fail "concurrent puts: $(cat "$work/writers")"
run 0 "ok, 8 sections" check "$many"
for i in 1 2 3 4 5 6 7 8; do run 0 "^writer $i\$" cat "$many" "w$i"; done

if [ -z "$runner" ]; then
  # An output that cannot take the bytes, and must not be removed.
  if [ -c /dev/full ]; then
    run 2 'cannot copy section "second": No space left on device' extract "$store" second /dev/full
    [ -c /dev/full ] || fail "a failed extract removed the device it wrote to"
  fi

  # The owner survives a put (mode: TQStorage's tests); a symbolic link is
  # written through, a dangling one refused; a second hard link is refused,
  # as the rename would leave it on the old data.
  if [ "$(id -u)" = 0 ] && chown 12345:23456 "$store" 2>/dev/null; then
    run 0 - put "$store" owner "$work/a.txt"
    [ "$(stat -c %u:%g "$store")" = 12345:23456 ] || fail "put changed the owner: $(stat -c %u:%g "$store")"
    chown 0:0 "$store"
  fi
  ln -s "$(basename "$store")" "$work/link.tqs"
  run 0 - put "$work/link.tqs" via-link "$work/a.txt"
  [ -L "$work/link.tqs" ] || fail "put replaced the symbolic link by a file"
  run 0 "^alpha$" cat "$store" via-link
  ln -s missing.tqs "$work/dangling.tqs"
  run 2 'symbolic link to a missing file' put "$work/dangling.tqs" x "$work/a.txt"
  ln "$store" "$work/hard.tqs"
  cp "$store" "$work/before.tqs"
  run 2 'has 2 hard links' put "$store" x "$work/a.txt"
  expect_same "$work/before.tqs" "$work/hard.tqs" "a refused put changed a link"
  rm "$work/hard.tqs"

  # A writer killed half way through the save by the file size limit's
  # signal leaves the file as it was and a temporary file, which the next
  # writer deletes; with the signal ignored the same put fails cleanly.
  head -c 1500000 /dev/zero >"$work/big"
  run 0 - put "$store" pad "$work/big"
  cp "$store" "$work/before.tqs"
  (ulimit -f 2000; exec "$tqstore" put "$store" big "$work/big") 2>/dev/null
  status=$?
  [ "$status" -gt 128 ] || fail "the writer over the size limit was not killed (exit $status)"
  expect_same "$work/before.tqs" "$store" "a writer killed half way changed the file"
  temporaries || fail "the killed writer left no temporary file"
  run 0 - put "$store" after-kill "$work/a.txt"
  temporaries && fail "the next writer did not sweep the temporary file"
  (trap '' XFSZ; ulimit -f 2000; exec "$tqstore" put "$store" big "$work/big") 2>"$work/err"
  status=$?
  [ "$status" = 2 ] && grep -q 'cannot be saved: File too large' "$work/err" ||
    fail "put over the size limit: exit $status, $(cat "$work/err")"

  # A writer killed while it holds the lock (reading its input from a pipe)
  # does not block the next one.
  mkfifo "$work/fifo"
  cp "$store" "$work/before.tqs"
  "$tqstore" put "$store" piped "$work/fifo" 2>/dev/null &
  writer=$!
  exec 3<>"$work/fifo"  # read-write: never blocks, even if the writer is gone
  printf 'part of it' >&3
  sleep 0.5
  kill -9 "$writer"
  wait "$writer" 2>/dev/null
  exec 3>&-
  expect_same "$work/before.tqs" "$store" "a writer killed while reading changed the file"
  run 0 - put "$store" after-lock "$work/a.txt"

  # Too few descriptors for a storage of 600 sections is named as such
  # (not on a sanitizer build, whose run-time needs descriptors of its own
  # and ends the program when the limit leaves none).
  if ! grep -qa __ubsan_handle "$tqstore"; then
    {
      printf '\x58\x02\0\0'
      for i in $(seq 1 600); do entry "s$i" '\1\0\0\0'; done
      for i in $(seq 1 600); do printf x; done
    } >"$work/sections.tqs"
    out=$( (ulimit -n 5; exec "$tqstore" remove "$work/sections.tqs" s1) 2>&1)
    status=$?
    [ "$status" = 2 ] && grep -q 'Too many open files' <<<"$out" ||
      fail "remove under ulimit -n 5: exit $status, $out"
    run 0 "ok, 600 sections" check "$work/sections.tqs"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "all tqstore checks passed"
