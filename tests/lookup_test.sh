#!/usr/bin/env bash
# Tests of the tessel-lookup program as a user runs it.
# Usage: lookup_test.sh CASE  with TOOL (tessel-build), LOOKUP (tessel-lookup) and KEYGEN in
# the environment.
source "$(dirname "$0")/test_lib.sh"

# query ARGS... < input: runs tessel-lookup, keeping its output, errors and status.
query() {
  "$LOOKUP" "$@" > out 2> err
  status=$?
}

build() {  # build KEYS-FILE INDEX
  "$TOOL" "$1" "$2" > /dev/null || fail "building $2"
}

case_exact() {
  printf '\na\na\nab\nb\r\nc\n' > keys.txt
  build keys.txt keys.idx
  query keys.idx < <(printf 'a\nab\nzz\n\nb\r\nc\000ignored\nabc')
  expect_eq "$status" 1 "status with a missing query"
  expect_eq "$(cat out)" "$(printf '1\ta\n3\tab\n-1\tzz\n0\t\n4\tb\r\n5\tc\n-1\tabc')" "answers"
  query keys.idx < <(printf 'a\nc\n')
  expect_eq "$status" 0 "status when all are found"
  query keys.idx < /dev/null
  expect_eq "$status" 0 "no queries"
  expect_eq "$(wc -c < out)" 0 "no output"
}

case_prefixes() {
  printf 'a\nab\nabc\nabd\nb\n' > keys.txt
  build keys.txt keys.idx
  query -p keys.idx < <(printf 'abcx\nzz\n')
  expect_eq "$status" 1 "status"
  expect_eq "$(cat out)" "$(printf '3\tabcx\n0\ta\n1\tab\n2\tabc\n0\tzz')" "common prefixes"
  query -P keys.idx < <(printf 'ab\nb\n')
  expect_eq "$status" 0 "status"
  expect_eq "$(cat out)" "$(printf '3\tab\n1\tab\n2\tabc\n3\tabd\n1\tb\n4\tb')" "predictions"
}

case_dump_and_check() {
  "$KEYGEN" words 5000 > keys.txt
  printf 'zzz\nzzz\nzzzz\n' >> keys.txt
  build keys.txt keys.idx
  query -d keys.idx
  expect_eq "$status" 0 "dump status"
  cut -f2- out > dumped
  LC_ALL=C sort -u keys.txt | cmp -s - dumped || fail "the dump is not the sorted unique keys"
  expect_eq "$(grep -c . out)" "$(LC_ALL=C sort -u keys.txt | grep -c .)" "dump size"

  query -c keys.txt keys.idx
  expect_eq "$status" 0 "check status"
  expect_eq "$(cat out)" "$(wc -l < keys.txt) keys checked" "check report"

  head -n 100 keys.txt > fewer.txt
  query -c fewer.txt keys.idx
  expect_eq "$status" 1 "a list with fewer keys"
  grep -q '^index holds' out || fail "no count mismatch line: $(cat out)"

  printf 'other\n' > other.txt
  query -c other.txt keys.idx
  expect_eq "$status" 1 "a key that is not held"
  expect_eq "$(cat out)" "line 1: expected 0, found -1: other" "mismatch line"
}

case_errors() {
  printf 'a\n' > keys.txt
  build keys.txt keys.idx
  query --help
  expect_eq "$status" 0 "--help status"
  grep -q '^Usage: tessel-lookup' out || fail "--help prints the usage on standard output"
  query --version
  expect_eq "$status" 0 "--version status"
  grep -q '^tessel-lookup ' out || fail "--version output"
  for args in "" "-x keys.idx" "-p" "-c keys.idx" "keys.idx extra"; do
    # shellcheck disable=SC2086
    query $args < /dev/null
    expect_eq "$status" 2 "usage status for [$args]"
    grep -q '^Usage:' err || fail "usage on standard error for [$args]"
  done
  query missing.idx < /dev/null
  expect_eq "$status" 2 "missing index status"
  expect_eq "$(cat err)" "Cannot Open: missing.idx" "missing index message"
  printf 'not an index' > bad.idx
  query bad.idx < /dev/null
  expect_eq "$(cat err)" "Not an Index: bad.idx" "bad index message"
  expect_eq "$status" 2 "bad index status"
  query -c missing.txt keys.idx
  expect_eq "$(cat err)" "Cannot Open: missing.txt" "missing key list"
  printf 'a\n' | "$LOOKUP" keys.idx > /dev/full 2> err
  expect_eq "$?" 2 "write failure status"
  expect_eq "$(cat err)" "Cannot Write: standard output" "write failure message"
}

case_corrupt() {
  # Root (1, 0); 'a' (unit 99) and 'b' (unit 100) both claim base 200, so unit 200 has two
  # parents.
  {
    printf '\001\000\000\000\000\000\000\000'
    head -c $((98 * 8)) /dev/zero
    printf '\310\000\000\000\001\000\000\000\310\000\000\000\001\000\000\000'
    head -c $((99 * 8)) /dev/zero
    printf '\377\377\377\377\310\000\000\000'
    head -c $((400 * 8)) /dev/zero
  } > shared.idx
  query -d shared.idx
  expect_eq "$status" 2 "dump of a corrupt index"
  expect_eq "$(cat err)" "Corrupt Index: shared.idx" "corrupt message"
  query shared.idx < <(printf 'a\nb\nc\n')
  expect_eq "$(cat out)" "$(printf '0\ta\n0\tb\n-1\tc')" "lookups still answer"
}

"case_$1"
finish
