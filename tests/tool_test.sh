#!/usr/bin/env bash
# Tests of the tessel-build program as a user runs it.
# Usage: tool_test.sh CASE  with TOOL, PLAIN_TOOL (built without sanitizers), LOOKUP, KEYGEN
# and SOURCE_DIR in the environment (alone, the test build's programs: see test_lib.sh);
# TOOL_NAME is the name the tool calls itself when TOOL is a wrapper.
source "$(dirname "$0")/test_lib.sh"
: "${LOOKUP:=$programs/index-lookup}"

# run ARGS...: runs the tool, keeping standard output, standard error and the status.
run() {
  "$TOOL" "$@" > out 2> err
  status=$?
}

# lookup INDEX KEY...: the values of the keys, space-separated.
lookup() { "$LOOKUP" "$@" | tr '\n' ' ' | sed 's/ $//'; }

bar_line() {  # bar_line PERCENT STARS END: one progress line as the tool draws it
  printf 'Making Double Array: %3d%% |%s%*s| %s' "$1" "$(printf '%*s' "$2" '' | tr ' ' '*')" \
    $((43 - $2)) '' "$3"
}

# expect_build_error_under LIMIT... -- PROGRAM: under the shell limit, building keys.txt into
# kept.idx fails with the build error line and leaves kept.idx as it was.
expect_build_error_under() {
  local limit=()
  while [ "$1" != -- ]; do limit+=("$1"); shift; done
  local program=$2
  cp kept.idx kept.before
  ("${limit[@]}"; "$program" keys.txt kept.idx > out 2> err; echo $? > status)
  expect_eq "$(cat status)" 255 "status under ${limit[*]}"
  expect_eq "$(cat err)" "$(build_error keys.txt)" "message under ${limit[*]}"
  expect_file kept.idx kept.before "index under ${limit[*]}"
}

case_example() {
  run "$SOURCE_DIR/examples/words.txt" words.idx
  expect_eq "$status" 0 "status"
  expect_file out "$SOURCE_DIR/tests/data/words.out" "standard output"
  expect_eq "$(sha256sum < words.idx | cut -d' ' -f1)" "$(cat "$SOURCE_DIR/tests/data/words.idx.sha256")" "index digest"
  expect_eq "$(wc -c < err)" 0 "standard error"
}

case_two_keys() {
  printf 'a\nb\n' > keys.txt
  run keys.txt keys.idx
  { bar_line 50 21 $'\r'; bar_line 100 43 $'\n'; printf 'Done!, Compression Ratio: 1.11111 %%\n'; } > expected
  expect_eq "$status" 0 "status"
  expect_file out expected "standard output"
  expect_eq "$(wc -c < keys.idx)" 2880 "index size"
  expect_eq "$(od -A n -t d4 -j 784 -N 48 keys.idx | tr -s ' \n' ' ')" " 0 0 101 1 102 1 -1 101 -2 102 0 0 " "units 98 to 103"
  expect_eq "$(lookup keys.idx a b c '')" "0 1 -1 -1" "lookups"
}

case_usage() {
  for args in "" "only-one"; do
    # shellcheck disable=SC2086
    run $args
    expect_eq "$status" 255 "status with [$args]"
    expect_eq "$(cat err)" "Usage: ${TOOL_NAME:-$TOOL} File Index" "usage line"
    expect_eq "$(wc -c < out)" 0 "standard output"
  done
}

case_arguments() {
  printf 'b\nc\n' > in.txt
  run x y in.txt out.idx
  expect_eq "$status" 0 "only the last two arguments count"
  expect_eq "$(lookup out.idx b c)" "0 1" "lookups"
  # Only File treats "-" as standard input; an Index called "-" is a file.
  printf 'k\n' | "$TOOL" - - > out 2> err
  expect_eq "$?" 0 "status with - -"
  expect_eq "$(lookup ./- k)" 0 "index written to a file called -"
  printf 'z\n' > -x
  run -x hyphen.idx
  expect_eq "$status" 0 "a file name beginning with a hyphen"
  expect_eq "$(lookup hyphen.idx z)" 0 "lookup"
}

case_standard_input() {
  printf 'apple\nbanana\ncherry\n' > keys.txt
  run keys.txt file.idx
  "$TOOL" - stdin.idx < keys.txt > stdin.out 2>&1
  expect_eq "$?" 0 "status"
  expect_file stdin.idx file.idx "index from standard input"
  expect_file stdin.out out "output from standard input"
}

case_cannot_open() {
  echo old > kept.idx
  run missing.txt kept.idx
  expect_eq "$status" 255 "missing file status"
  expect_eq "$(cat err)" "Cannot Open: missing.txt" "missing file message"
  mkdir adir
  run adir kept.idx
  expect_eq "$status" 255 "directory status"
  expect_eq "$(cat err)" "Cannot Open: adir" "directory message"
  expect_eq "$(cat kept.idx)" old "index untouched"
}

case_cannot_read() {
  # Reading /proc/self/mem from its start fails with an I/O error.
  echo old > kept.idx
  run /proc/self/mem kept.idx
  expect_eq "$status" 255 "status"
  expect_eq "$(cat err)" "Cannot Read: /proc/self/mem" "message"
  expect_eq "$(cat kept.idx)" old "index untouched"
}

case_unsorted() {
  printf 'b\na\n' > keys.txt
  run keys.txt out.idx
  expect_eq "$status" 255 "b a status"
  expect_eq "$(cat err)" "$(build_error keys.txt)" "b a message"
  expect_eq "$(wc -c < out)" 0 "b a: no progress line"
  absent out.idx "b a"

  printf 'ab\naa\n' > keys.txt
  run keys.txt out.idx
  bar_line 50 21 $'\r' > expected
  expect_eq "$status" 255 "ab aa status"
  expect_file out expected "ab aa: the 50 % line only"
  expect_eq "$(cat err)" "$(build_error keys.txt)" "ab aa message"

  printf 'a\n\nb\n' > keys.txt
  run keys.txt out.idx
  expect_eq "$status" 255 "empty key after a"
  absent out.idx "unsorted input"
}

case_empty_input() {
  echo old > kept.idx
  : > empty.txt
  run empty.txt kept.idx
  expect_eq "$status" 255 "status"
  expect_eq "$(cat err)" "$(build_error empty.txt)" "message"
  expect_eq "$(cat kept.idx)" old "index untouched"
  printf 'a\n' > keys.txt
  run keys.txt missing-dir/out.idx
  expect_eq "$status" 255 "missing directory status"
  expect_eq "$(cat err)" "$(build_error keys.txt)" "missing directory names the input"
}

case_line_rules() {
  # An empty first key, no final newline: three keys with values 0, 1, 2.
  printf '\na\nb' > keys.txt
  run keys.txt out.idx
  expect_eq "$status" 0 "no final newline"
  expect_eq "$(lookup out.idx '' a b)" "0 1 2" "values"
  # A carriage return stays in its key; a key ends at its first NUL byte.
  printf 'a\r\nb \r\nc\000tail\nd\n' > keys.txt
  run keys.txt out.idx
  expect_eq "$status" 0 "carriage returns"
  expect_eq "$(lookup out.idx $'a\r' $'b \r' c d a 'b ')" "0 1 2 3 -1 -1" "values"
  # Equal keys keep the first position and finish once.
  printf 'a\na\n' > keys.txt
  run keys.txt out.idx
  expect_eq "$status" 0 "duplicates"
  expect_eq "$(head -c 73 out)" "$(bar_line 50 21 $'\r')" "duplicates: the bar stops at 50 %"
  expect_eq "$(tail -c +74 out)" "Done!, Compression Ratio: 0.558659 %" "duplicates: ratio line"
  expect_eq "$(lookup out.idx a)" 0 "duplicate value"
}

case_progress() {
  printf 'solo\n' > keys.txt
  run keys.txt out.idx
  expect_eq "$(head -c 73 out)" "$(bar_line 100 43 $'\n')" "single key: one line at 100 %"
  expect_eq "$(tail -c +74 out)" "Done!, Compression Ratio: 1.31926 %" "single key: ratio line"
  seq -w 1 1000 > keys.txt
  run keys.txt out.idx
  expect_eq "$(head -c 72 out)" "$(bar_line 1 0 '')" "1000 keys start at 1 %"
  expect_eq "$(tr '\r' '\n' < out | grep -c 'Making')" 100 "one line per percent"
  # Whatever the number of keys, the bar is drawn at each whole percentage the count of keys
  # reaches, as 100.0 * count / keys in double precision gives it.
  for keys in 3 7 101 1001 4099; do
    seq -w 1 "$keys" > keys.txt
    run keys.txt keys.idx
    expect_eq "$status" 0 "status for $keys keys"
    awk -v n="$keys" 'BEGIN { last = 0
      for (c = 1; c <= n; ++c) {
        p = int(100.0 * c / n)
        if (p != last) print p, int(c * 43 / n)
        last = p
      } }' | while read -r percent stars; do
      bar_line "$percent" "$stars" "$([ "$percent" = 100 ] && echo n || echo r)"
      echo
    done > expected
    tr '\r\n' '\n\n' < out | sed -n 's/^\(Making Double Array: .*| \)$/\1/p' |
      awk -v n="$keys" '{ print $0 (index($0, "100%") ? "n" : "r") }' > drawn
    expect_file drawn expected "progress for $keys keys"
  done
}

case_same_file() {
  printf 'x\ny\n' > both
  run both both
  expect_eq "$status" 0 "status"
  expect_eq "$(lookup both x y)" "0 1" "index replaced the key list"
}

case_device_full() {
  printf 'a\nb\n' > keys.txt
  run keys.txt /dev/full
  expect_eq "$status" 255 "status"
  expect_eq "$(cat err)" "$(build_error keys.txt)" "message"
  grep -q Done out && fail "no ratio line after a failed save"
  "$TOOL" keys.txt out.idx > /dev/full 2> err
  expect_eq "$?" 255 "standard output on a full device"
  expect_eq "$(cat err)" "Cannot Write: standard output" "standard output message"
}

case_file_size_limit() {
  seq -w 1 20000 > keys.txt
  echo old > kept.idx
  expect_build_error_under ulimit -f 64 -- "$TOOL"
  expect_eq "$(ls -A | grep -c '^\.tessel')" 0 "no temporary file left"
}

case_long_key() {
  head -c 1000000 /dev/zero | tr '\0' 'k' > keys.txt
  printf '\nl\n' >> keys.txt
  local start end
  start=$(date +%s%N)
  run keys.txt out.idx
  end=$(date +%s%N)
  expect_eq "$status" 0 "status"
  expect_eq "$(lookup out.idx l)" 1 "key after the long one"
  # Generous for sanitizer builds on a busy machine; the release build takes a fraction.
  [ $(((end - start) / 1000000)) -lt 20000 ] || fail "a million-byte key took $(((end - start) / 1000000)) ms"
}

case_fifo() {
  run "$SOURCE_DIR/examples/words.txt" regular.idx
  mkfifo pipe.idx
  cat pipe.idx > from-pipe &
  local reader=$!
  run "$SOURCE_DIR/examples/words.txt" pipe.idx
  wait "$reader"
  expect_eq "$status" 0 "status"
  expect_file from-pipe regular.idx "bytes through the FIFO"
  [ -p pipe.idx ] || fail "the FIFO was replaced"
  echo old > kept
  ln -s kept link.idx
  run "$SOURCE_DIR/examples/words.txt" link.idx
  [ -L link.idx ] || fail "the symbolic link was replaced"
  expect_file kept regular.idx "link target"
}

case_out_of_memory() {
  seq -w 1 3000000 > keys.txt
  echo old > kept.idx
  expect_build_error_under ulimit -v 60000 -- "$PLAIN_TOOL"
}

case_two_letter_keys() {
  # Long keys of two letters leave many free units that no group can take; a search that
  # walked over them again for every group took minutes here.
  "$KEYGEN" binary 20000 > keys.txt
  local start end
  start=$(date +%s%N)
  run keys.txt out.idx
  end=$(date +%s%N)
  expect_eq "$status" 0 "status"
  expect_eq "$(lookup out.idx "$(sed -n 777p keys.txt)")" 776 "a key's value"
  [ $(((end - start) / 1000000)) -lt 30000 ] || fail "20,000 two-letter keys took $(((end - start) / 1000000)) ms"
}

run_case "$@"
