#!/usr/bin/env bash
# The manual page renderer (cmake/TQRTLManPage.cmake) on a page that holds
# everything roff would otherwise take as its own (backslashes, lines that
# start with a period or a quote, minus signs) and what CMake lists would
# break on (semicolons, brackets), and on sources and tools it must refuse.
# Called by ctest as
#   man_page_test.sh <cmake> <TQRTLManPage.cmake> <scratch directory>
set -u
cmake=$1 renderer=$2 work=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
rm -rf "$work" && mkdir -p "$work" || exit 1

cat >"$work/fake" <<'TOOL'
#!/bin/sh
[ "$1" = --help ] || exit 1
printf '%s\n' 'usage: fake [a;b] [--x] {y}' '.starts with a period' "back\\slash 'quote" \
  '  indented  by   spaces'
TOOL
chmod +x "$work/fake"
printf '#!/bin/sh\necho "cannot"; exit 2\n' >"$work/broken"
chmod +x "$work/broken"

cat >"$work/fake.1.md" <<'PAGE'
fake -- a tool; with [brackets]

# Synopsis
@USAGE@

# DESCRIPTION
Text with **bold** and *italic*; and a \ backslash,
.a period first
and 'a quote first.

: **--flag** *ARG*
  Term text; [more].

    literal; line [x]
    'quoted literal
    .period literal

After the block.
PAGE

render() {  # render <source> <tool> <output>
  "$cmake" -DSOURCE="$1" -DTOOL="$2" -DOUTPUT="$3" -DVERSION=9.8.7 -DGZIP="$(command -v gzip)" -P "$renderer"
}

if ! render "$work/fake.1.md" "$work/fake" "$work/fake.1" >"$work/log" 2>&1; then
  fail "rendering failed: $(cat "$work/log")"
else
  warnings=$(groff -man -Tutf8 -ww -z "$work/fake.1" 2>&1)
  [ -z "$warnings" ] || fail "groff warnings: $warnings"
  text=$(groff -man -Tascii -rLL=200n "$work/fake.1" 2>/dev/null | col -bx)
  expected=(
    'FAKE(1)' 'NAME' 'fake - a tool; with [brackets]' 'SYNOPSIS'
    'usage: fake [a;b] [--x] {y}' '.starts with a period' "back\\slash 'quote"
    '  indented  by   spaces'
    "Text with bold and italic; and a \\ backslash, .a period first and 'a quote first."
    '--flag ARG' 'Term text; [more].' 'literal; line [x]' "'quoted literal" '.period literal'
    'After the block.' 'TQRTL 9.8.7'
  )
  for line in "${expected[@]}"; do
    grep -qF -- "$line" <<<"$text" || fail "the page lacks '$line'"
  done
  # Markup became fonts, not asterisks.
  grep -q '\*' <<<"$text" && fail "asterisks left in: $(grep '\*' <<<"$text")"
  grep -q '^\.TH FAKE 1 ' "$work/fake.1" || fail "no .TH line"
  [ "$(zcat "$work/fake.1.gz" 2>/dev/null)" = "$(cat "$work/fake.1")" ] || fail "fake.1.gz is not fake.1"
  # The same source gives the same bytes (the compressed page too).
  cp "$work/fake.1.gz" "$work/first.gz"
  sleep 1
  render "$work/fake.1.md" "$work/fake" "$work/fake.1" >/dev/null 2>&1
  cmp -s "$work/first.gz" "$work/fake.1.gz" || fail "a second rendering differs"
fi

# Refused: a first line that is not "name -- summary", text indented by
# three spaces, and a tool whose --help fails. Each says why and writes no page.
refuse() {  # refuse <what> <expected message> <source> <tool>
  rm -f "$work/bad.1"
  if render "$3" "$4" "$work/bad.1" >"$work/log" 2>&1; then
    fail "$1: rendered"
  elif ! grep -q -- "$2" "$work/log"; then
    fail "$1: message '$(cat "$work/log")'"
  fi
  [ -e "$work/bad.1" ] && fail "$1: a page was written"
}
printf 'fake: a tool\n' >"$work/title.1.md"
refuse "bad first line" 'name -- summary' "$work/title.1.md" "$work/fake"
printf 'fake -- a tool\n\n# X\ntext\n   three\n' >"$work/indent.1.md"
refuse "three spaces" 'indent.1.md:5:' "$work/indent.1.md" "$work/fake"
refuse "failing tool" 'help failed' "$work/fake.1.md" "$work/broken"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "manual page renderer: all checks passed"
