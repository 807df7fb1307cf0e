#!/usr/bin/env bash
# Tests of the tessel-lookup program as a user runs it.
# Usage: lookup_test.sh CASE  with TOOL (tessel-build), LOOKUP (tessel-lookup) and KEYGEN in
# the environment, and PLAIN_LOOKUP (built without sanitizers) for the memory limits (alone,
# the test build's programs: see test_lib.sh).
source "$(dirname "$0")/test_lib.sh"
: "${LOOKUP:=$programs/tessel-lookup}"

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

  printf 'a\nb\na\n' > unsorted.txt
  printf 'a\nb\n' > ab.txt
  build ab.txt ab.idx
  query -c unsorted.txt ab.idx
  expect_eq "$status" 1 "a list out of order"
  expect_eq "$(cat out)" "line 3: out of order: a" "out of order line"

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
    expect_eq "$(wc -l < err)" 1 "a single usage line for [$args]"
  done
  mkdir directory.idx
  query directory.idx < /dev/null
  expect_eq "$status" 2 "a directory as Index"
  expect_eq "$(cat err)" "Not an Index: directory.idx" "directory message"
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
  # One failure, one line: the dump's, not also the output's.
  "$LOOKUP" -d shared.idx > /dev/full 2> err
  expect_eq "$?" 2 "a corrupt dump into a full device"
  expect_eq "$(cat err)" "Corrupt Index: shared.idx" "only the first failure is reported"
  # A predictive walk stops at a unit reached twice, as a dump does.
  loop_index loop.idx 4096
  query -P loop.idx < <(printf '\n')
  expect_eq "$status" 2 "a prediction that loops"
  expect_eq "$(cat err)" "Corrupt Index: loop.idx" "loop message"
  query -P -m 3 loop.idx < <(printf '\n')
  expect_eq "$status:$(cat err)" "2:Corrupt Index: loop.idx" "a limited prediction from the root"
  # A walk from the root marks every unit, as a dump does.
  query -P shared.idx < <(printf '\n')
  expect_eq "$status:$(cat err)" "2:Corrupt Index: shared.idx" "a prediction of every key"
  # Counting the keys walks them as a dump does: the same answer for a damaged index.
  for index in loop.idx shared.idx; do
    query -n "$index"
    expect_eq "$status:$(cat err)" "2:Corrupt Index: $index" "a count of a damaged index"
  done
}

# loop_index FILE UNITS: the root (base 1) has three children: the end of the key "" at unit 1,
# code 1 at unit 2 and code 2 at unit 3; unit 2 has base 1 again, so every step down leads back
# to the same children, and each key is one more NUL byte.
loop_index() {
  {
    printf '\001\000\000\000\000\000\000\000'
    printf '\377\377\377\377\001\000\000\000'
    printf '\001\000\000\000\001\000\000\000'
    printf '\377\377\377\377\001\000\000\000'
    head -c $((8 * ($2 - 4))) /dev/zero
  } > "$1"
}

case_restore_and_count() {
  printf 'a\na\nab\nb\n\n' > keys.txt
  printf '\nb\nc\n' > sorted.txt
  build sorted.txt keys.idx
  query -r keys.idx < <(printf '1\n0\n2\n3\n-1\nx\n01\n99999999999\n\n2\000x')
  expect_eq "$status" 1 "status with a value no key has"
  expect_eq "$(cat out)" "$(printf '1\tb\n0\t\n2\tc\n-1\t3\n-1\t-1\n-1\tx\n1\tb\n-1\t99999999999\n-1\t\n2\tc')" \
    "values to keys"
  query -r keys.idx < <(printf '2\n0\n')
  expect_eq "$status" 0 "status when every value has a key"
  query -n keys.idx < /dev/null
  expect_eq "$status" 0 "count status"
  expect_eq "$(cat out)" 3 "key count"
  printf 'a\na\nb\nb\nb\n' > dups.txt
  build dups.txt dups.idx
  query -n dups.idx
  expect_eq "$(cat out)" 2 "equal keys count once"
  query -r dups.idx < <(printf '0\n1\n2\n')
  expect_eq "$(cat out)" "$(printf '0\ta\n-1\t1\n2\tb')" "a run of equal keys has its first value"
}

case_limit() {
  printf 'a\nab\nabc\nabd\nb\n' > keys.txt
  build keys.txt keys.idx
  query -P -m 2 keys.idx < <(printf 'a\nb\nz\n')
  expect_eq "$status" 1 "status"
  expect_eq "$(cat out)" "$(printf '2\ta\n0\ta\n1\tab\n1\tb\n4\tb\n0\tz')" "at most two keys each"
  for args in "-P -m 0 keys.idx" "-P -m x keys.idx" "-P -m keys.idx" "-P -m -1 keys.idx" \
    "-p -m 2 keys.idx" "-n keys.idx extra"; do
    # shellcheck disable=SC2086
    query $args < /dev/null
    expect_eq "$status" 2 "usage status for [$args]"
    grep -q '^Usage:' err || fail "usage on standard error for [$args]"
  done
}

# A program that writes a query and waits for its answer must get it before input ends.
# Texts scanned for keys: line, offset, value and key of each match, in every mode; a sharded
# index gives the same lines; the status tells whether any key was found.
case_scan() {
  printf 'he\nher\nhers\nhis\nshe\n\303\251t\303\251\n' > keys.txt
  build keys.txt keys.idx
  printf 'ushers his_\nnone here!\nshe hers \303\251t\303\251\000he\nhe' > texts
  query -s keys.idx < texts
  expect_eq "$status" 0 "scan status"
  expect_eq "$(cat out)" "$(printf '1\t1\t4\tshe\n1\t2\t0\the\n1\t2\t1\ther\n1\t2\t2\thers\n1\t7\t3\this
2\t5\t0\the\n2\t5\t1\ther\n3\t0\t4\tshe\n3\t1\t0\the\n3\t4\t0\the\n3\t4\t1\ther\n3\t4\t2\thers
3\t9\t5\t\303\251t\303\251\n4\t0\t0\the')" "every match, a line cut at its NUL"
  for args in "-s -l" "-s -w" "-s -l -w" "-s -w -l"; do
    # shellcheck disable=SC2086
    query $args keys.idx < texts
    cp out "out.$args"
  done
  expect_eq "$(cat "out.-s -l")" "$(printf '1\t1\t4\tshe\n1\t7\t3\this\n2\t5\t1\ther
3\t0\t4\tshe\n3\t4\t2\thers\n3\t9\t5\t\303\251t\303\251\n4\t0\t0\the')" "leftmost-longest"
  expect_eq "$(cat "out.-s -w")" "$(printf '3\t0\t4\tshe\n3\t4\t2\thers\n3\t9\t5\t\303\251t\303\251
4\t0\t0\the')" "words"
  expect_file "out.-s -w -l" "out.-s -l -w" "-l and -w in either order"
  query -s -l -w keys.idx < <(printf 'xyz\n\n')
  expect_eq "$status" 1 "no key found"
  expect_eq "$(wc -c < out)" 0 "nothing printed"
  for args in "-s -x" "-l" "-w -d"; do
    # shellcheck disable=SC2086
    query $args keys.idx < /dev/null
    expect_eq "$status" 2 "usage [$args]"
  done
  # Words end at quotes, dashes and spaces past ASCII, not at letters; -W adds characters.
  printf 'flask\nflask-login\npatch\n' > words.txt
  build words.txt words.idx
  printf '\342\200\234patch\342\200\235 patch\303\251 flask-login\n' > unicode.txt
  query -s -w words.idx < unicode.txt
  expect_eq "$(cat out)" "$(printf '1\t3\t2\tpatch\n1\t20\t0\tflask\n1\t20\t1\tflask-login')" \
    "Unicode words"
  query -s -w -W - words.idx < unicode.txt
  expect_eq "$(cat out)" "$(printf '1\t3\t2\tpatch\n1\t20\t1\tflask-login')" "-W -"
  query -sw -W"$(printf '\342\200\235')" words.idx < unicode.txt
  expect_eq "$(cat out)" "$(printf '1\t20\t0\tflask\n1\t20\t1\tflask-login')" "-W with a quote"
  for args in "-s -W -" "-s -w -W" "-W - -w"; do
    # shellcheck disable=SC2086
    query $args words.idx < unicode.txt
    expect_eq "$status" 2 "usage [$args]"
  done
  # Positions of every width, and keys short and long, at a line's end or before more text.
  local long=bbbbbbbbbbbbbbbbbbbbbbbbb
  printf 'a\n%s\n' "$long" > ab.txt
  build ab.txt ab.idx
  { head -c 100001 /dev/zero | tr '\0' a; printf '\n%s\n%s and more after it\n' "$long" "$long"; } |
    "$LOOKUP" -s ab.idx > out
  { awk 'BEGIN { for (i = 0; i <= 100000; i++) printf "1\t%d\t0\ta\n", i }'
    printf '2\t0\t1\t%s\n3\t0\t1\t%s\n3\t26\t0\ta\n3\t35\t0\ta\n' "$long" "$long"; } > expected
  expect_file out expected "numbers of every width, keys at the end of a line"
  seq 1 1200 | sed 's/^/a /' | "$LOOKUP" -s ab.idx | cut -f 1 > out
  seq 1 1200 > expected
  expect_file out expected "line numbers counted past 9, 99 and 999"
  # Lines read together are scanned as each alone: numbered, empty ones too, and -e marks
  # the end of each one's answers.
  printf 'he\n\nshe\n\nxx he' | "$LOOKUP" -s -l -e keys.idx > out
  expect_eq "$(cat out)" "$(printf '1\t0\t0\the\n\n\n3\t0\t4\tshe\n\n\n5\t3\t0\the')" \
    "-e after each line" < /dev/null
  # As one index, sharded: every line the same.
  "$KEYGEN" words 3000 > many.txt
  build many.txt many.idx
  mkdir shards
  "$MAKE_SHARDS" many.txt shards 5 || fail "making shards"
  awk 'NR % 13 == 0 { printf "%s ", $0 } NR % 130 == 0 { print "" }' many.txt > prose
  for args in "-s" "-s -l" "-s -w" "-s -l -w"; do
    # shellcheck disable=SC2086
    "$LOOKUP" $args many.idx < prose > one.out
    # shellcheck disable=SC2086
    "$LOOKUP" $args shards < prose > sharded.out
    expect_file sharded.out one.out "[$args] on shards"
    [ -s one.out ] || fail "[$args] found nothing"
  done
  awk 'NR % 3 == 0 { printf "%s ", $0 } NR % 9 == 0 { print "" } NR % 30 == 0 { print "" }
    NR > 90 { exit }' many.txt > short
  for args in "-s" "-s -l -w"; do
    # shellcheck disable=SC2086
    "$LOOKUP" $args many.idx < short > together.out
    local n=0
    : > alone.out
    while IFS= read -r text; do
      n=$((n + 1))
      # shellcheck disable=SC2086
      printf '%s\n' "$text" | "$LOOKUP" $args many.idx | sed "s/^1\t/$n\t/" >> alone.out
    done < short
    expect_file together.out alone.out "[$args] lines together and alone"
  done
}

case_interactive() {
  printf 'a\nab\nb\n' > keys.txt
  build keys.txt keys.idx
  for mode in "" -p -P -r "-s -l"; do
    coproc PEER { "$LOOKUP" $mode keys.idx; }
    local answer=""
    for question in a b; do
      [ "$mode" = -r ] && question=1
      printf '%s\n' "$question" >&"${PEER[1]}"
      IFS= read -r -t 10 answer <&"${PEER[0]}" || fail "no answer to [$question] with [$mode]"
    done
    exec {PEER[1]}>&-
    wait "$PEER_PID"
  done
  [ -n "$answer" ] || fail "empty answer"
  # A scan with -e ends each text's answers with an empty line: a text without matches too.
  coproc PEER { "$LOOKUP" -sle keys.idx; }
  local lines
  for text in "xyz" "b ab" ""; do
    printf '%s\n' "$text" >&"${PEER[1]}"
    lines=""
    while IFS= read -r -t 10 answer <&"${PEER[0]}" && [ -n "$answer" ]; do
      lines+="$answer;"
    done
    [ -z "$answer" ] || fail "no end of the answers to [$text]"
    [ "$text" != "b ab" ] || expect_eq "$lines" "$(printf '2\t0\t2\tb;2\t2\t1\tab;')" "the answers before it"
  done
  exec {PEER[1]}>&-
  wait "$PEER_PID"
}

# Options as getopt reads them: grouped, values attached, in any order; a command line that
# does not fit is told in one line that names what is wrong.
case_options() {
  printf 'a\nab\nabc\nb\nba\n' > keys.txt
  build keys.txt keys.idx
  printf 'ab ba\n' > text.txt
  query -s -l -w keys.idx < text.txt
  cp out expected
  for args in "-slw keys.idx" "-l -w -s keys.idx" "keys.idx -wsl" "-s -l -l -w keys.idx" \
    "-s -lw -- keys.idx"; do
    # shellcheck disable=SC2086
    query $args < text.txt
    expect_eq "$status" 0 "status of [$args]"
    expect_file out expected "[$args] as -s -l -w"
  done
  query -- -slw < text.txt
  expect_eq "$status:$(cat err)" "2:Cannot Open: -slw" "-- ends the options"
  printf 'a\n' | "$LOOKUP" -P keys.idx > expected
  printf 'a\n' | "$LOOKUP" -P -m 99999999999999999999999 keys.idx > out 2> err
  expect_eq "$?" 0 "status of a limit past any count"
  expect_file out expected "a limit past any count as none"
  printf 'a\n' | "$LOOKUP" -P -m 2 keys.idx > expected
  for args in "-Pm 2 keys.idx" "-Pm2 keys.idx" "-m 2 -P keys.idx" "-m2 keys.idx -P"; do
    # shellcheck disable=SC2086
    printf 'a\n' | "$LOOKUP" $args > out 2> err
    expect_eq "$?" 0 "status of [$args]"
    expect_file out expected "[$args] as -P -m 2"
  done
  while IFS='|' read -r args message; do
    # shellcheck disable=SC2086
    query $args < /dev/null
    expect_eq "$status:$(cat err)" \
      "2:Usage: tessel-lookup: $message (tessel-lookup --help tells more)" "[$args]"
  done << 'END'
-x keys.idx|unknown option -x
--ignore keys.idx|unknown option --ignore
-i -d keys.idx|-d and -i cannot go together
-ri keys.idx|-r and -i cannot go together
-l keys.idx|-l needs -s
-w -p keys.idx|-w needs -s
-e keys.idx|-e needs -s
-m 3 keys.idx|-m needs -P
-P -m x keys.idx|-m needs a number from 1
-Pm0 keys.idx|-m needs a number from 1
-P -m|-m needs a number from 1
-t 0 keys.idx|-t needs a number from 1
-t 2 -p keys.idx|-t and -p cannot go together
-c|-c needs a key list
-p -P keys.idx|-p and -P cannot go together
-s -c keys.txt keys.idx|-s and -c cannot go together
|no Index given
keys.idx text.txt|one Index only, not also text.txt: queries and texts are read from standard input
END
}

# Memory stays bounded: by a line of NUL bytes without end, by a prediction of 40 MB of keys;
# what cannot be bounded is reported. PLAIN_LOOKUP has no sanitizer, which cannot run in a
# limited address space.
case_memory() {
  printf 'b\n' > keys.txt
  build keys.txt keys.idx
  (ulimit -v 200000 && head -c 300000000 /dev/zero | "$PLAIN_LOOKUP" keys.idx > out 2> err)
  expect_eq "$?" 1 "a NUL line without end is one empty query"
  expect_eq "$(cat out)" "$(printf -- '-1\t')" "its answer"
  awk 'BEGIN { s = ""; for (i = 1; i <= 9000; i++) { s = s "b"; print s } }' > chain.txt
  build chain.txt chain.idx
  (ulimit -v 200000 && printf 'b\n' | "$PLAIN_LOOKUP" -P chain.idx > out 2> err)
  expect_eq "$?" 0 "a prediction larger than the memory limit"
  expect_eq "$(head -n 1 out)" "$(printf '9000\tb')" "its count"
  expect_eq "$(wc -l < out)" 9001 "its lines"
  expect_eq "$(tail -n 1 out | wc -c)" 9006 "its last key"
  # A listing keeps nothing per byte of a chain: a 5 MB key dumps in little memory.
  { head -c 5000000 /dev/zero | tr '\0' k; printf '\nl\n'; } > deep.txt
  build deep.txt deep.idx
  (ulimit -v 200000 && "$PLAIN_LOOKUP" -d deep.idx > out 2> err)
  expect_eq "$?" 0 "a dump of a 5 MB key"
  expect_eq "$(wc -c < out)" 5000007 "its bytes"
  (ulimit -v 200000 && head -c 300000000 /dev/zero | tr '\0' b | "$PLAIN_LOOKUP" keys.idx > out 2> err)
  expect_eq "$?" 2 "a line past the memory limit"
  expect_eq "$(cat err)" "Out of Memory: standard input" "its message names the input"
  (ulimit -v 200000 && head -c 300000000 /dev/zero | tr '\0' b | "$PLAIN_LOOKUP" -s keys.idx > out 2> err)
  expect_eq "$?:$(cat err)" "2:Out of Memory: standard input" "a text past the memory limit"
  head -c 300000000 /dev/zero | tr '\0' b > long.txt
  (ulimit -v 200000 && "$PLAIN_LOOKUP" -c long.txt keys.idx > out 2> err)
  expect_eq "$?:$(cat err)" "2:Out of Memory: long.txt" "a key list past the memory limit"
  # An index that no address space left can map is no file that cannot be opened: a root and
  # 64 MB of free units, sparse.
  printf '\001\000\000\000\000\000\000\000' > large.idx
  truncate -s 64M large.idx
  (ulimit -v 20000 && "$PLAIN_LOOKUP" -n large.idx > out 2> err)
  expect_eq "$?:$(cat err)" "2:Out of Memory: large.idx" "an index mapped past the memory limit"
  # A crafted 16 MB index that loops costs a prediction no more than a valid one.
  loop_index loop.idx $((2 * 1024 * 1024))
  (ulimit -v 100000 && printf '\n' | "$PLAIN_LOOKUP" -P loop.idx > out 2> err)
  expect_eq "$?" 2 "a looping prediction under the memory limit"
  expect_eq "$(cat err)" "Corrupt Index: loop.idx" "looping prediction message"
}

# A sharded index answers every mode as the one index of the same keys; its damage is told in
# one line.
case_sharded() {
  "$KEYGEN" urls 20000 > keys.txt
  printf 'zz\nzz\nzzz\n' >> keys.txt
  build keys.txt one.idx
  mkdir shards
  "$MAKE_SHARDS" keys.txt shards 7 || fail "making shards"
  awk 'NR % 97 == 0 { print; print $0 "x"; print substr($0, 1, 12) }' keys.txt > queries
  printf '0\n5\n19999\n20000\n20001\n-1\n' > values
  for args in "" -p "-P -m 3" -P -d -n "-c keys.txt"; do
    for index in one.idx shards shards/MANIFEST; do
      # shellcheck disable=SC2086
      "$LOOKUP" $args "$index" < queries > "out.$(basename "$index")" 2> err
      echo $? >> "status.$(basename "$index")"
    done
    cmp -s out.one.idx out.shards || fail "[$args] on the directory differs from one index"
    cmp -s out.one.idx out.MANIFEST || fail "[$args] on the manifest differs from one index"
  done
  "$LOOKUP" -r one.idx < values > out.one
  "$LOOKUP" -r shards < values > out.shards
  expect_file out.shards out.one "values to keys"
  expect_eq "$(cat status.shards)" "$(cat status.one.idx)" "statuses"
  query -v shards
  expect_eq "$status" 0 "verify status"
  expect_eq "$(cat out)" "7 shards verified" "verify output"
  # Damage: a changed byte of a shard, a manifest that names a file outside, no manifest.
  cp -r shards damaged
  printf 'X' | dd of=damaged/shard-test-3.idx bs=1 seek=4000 conv=notrunc 2> /dev/null
  query -v damaged
  expect_eq "$status" 2 "verify of a damaged shard"
  expect_eq "$(cat err)" \
    "Corrupt Index: damaged/shard-test-3.idx: checksum differs from the manifest's" \
    "verify message"
  # A missing shard, named by its path.
  cp -r shards missing
  rm missing/shard-test-1.idx
  query -n missing
  expect_eq "$(cat err)" "Cannot Open: missing/shard-test-1.idx" "a missing shard"
  sed -i 's|file=shard-test-2.idx|file=../one.idx|' damaged/MANIFEST
  query damaged < queries
  expect_eq "$status" 2 "a manifest that names a file outside"
  expect_eq "$(wc -l < err)" 1 "one line for a bad manifest"
  grep -q '^Bad Manifest: damaged/MANIFEST: line 5: ' err || fail "bad manifest message: $(cat err)"
  mkdir empty
  query -n empty
  expect_eq "$(cat err)" "Not an Index: empty" "a directory without a manifest"
}

case_special_files() {
  mkfifo fifo.idx
  timeout 10 "$LOOKUP" fifo.idx < /dev/null > out 2> err
  expect_eq "$?" 2 "a FIFO as Index"
  expect_eq "$(cat err)" "Not an Index: fifo.idx" "FIFO message"
  printf 'a\n' > keys.txt
  build keys.txt keys.idx
  for args in --help --version; do
    "$LOOKUP" $args > /dev/full 2> err
    expect_eq "$?" 2 "$args on a full device"
    expect_eq "$(cat err)" "Cannot Write: standard output" "$args message"
  done
  # Endless input with nowhere to write the answers: the program stops, it does not read on.
  yes a | timeout 60 "$LOOKUP" keys.idx > /dev/full 2> err
  expect_eq "${PIPESTATUS[1]}" 2 "endless input, full output"
  expect_eq "$(cat err)" "Cannot Write: standard output" "endless input message"
  (ulimit -f 1 && yes a | head -n 5000 | "$LOOKUP" keys.idx > big.out 2> err)
  expect_eq "$?" 2 "past the file-size limit"
  expect_eq "$(cat err)" "Cannot Write: standard output" "file-size limit message"
}

run_case "$@"
