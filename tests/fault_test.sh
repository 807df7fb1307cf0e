#!/usr/bin/env bash
# Faults and load around tessel-build: bad input, signals, crashes, full disks, permissions and
# concurrent writers. Whatever happens, Index holds either its old bytes or a complete index,
# and no temporary file stays beside it (but after SIGKILL, which no program can handle).
# Usage: fault_test.sh CASE  with TOOL, PLAIN_TOOL (built without sanitizers), READER
# (tessel-lookup) and KEYGEN in the environment (alone, the test build's programs: see
# test_lib.sh).
source "$(dirname "$0")/test_lib.sh"

temporaries() { ls -A | grep -c '^\.tessel-'; }

# expect_refused STATUS-LINE KEYS [INDEX]: building KEYS fails with STATUS-LINE on standard
# error and status 255, and INDEX (kept.idx) keeps its bytes.
expect_refused() {
  local message=$1 keys=$2 index=${3:-kept.idx}
  cp "$index" before.idx
  "$TOOL" "$keys" "$index" > out 2> err
  expect_eq "$?" 255 "status for $keys"
  expect_eq "$(cat err)" "$message" "message for $keys"
  expect_file "$index" before.idx "$index after $keys"
  expect_eq "$(temporaries)" 0 "temporary files after $keys"
}

# expect_built KEYS: KEYS builds, and the reader finds exactly its keys in the index.
expect_built() {
  "$TOOL" "$1" built.idx > out 2> err
  expect_eq "$?" 0 "status for $1"
  "$READER" -c "$1" built.idx > check.out 2>&1 || fail "check of $1: $(head -c 300 check.out)"
}

# skip REASON: marks the case skipped for ctest, unless something already failed.
skip() { [ "$failures" -gt 0 ] || echo "SKIP: $*"; }

old_index() { printf 'old\n' > old.txt && "$TOOL" old.txt kept.idx > /dev/null; }

# as_other_user COMMAND...: runs COMMAND without root's power to ignore permissions; returns
# 77 when that cannot be arranged.
as_other_user() {
  if [ "$(id -u)" -ne 0 ]; then
    "$@"
  elif command -v setpriv > /dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups -- test -x "$TOOL"; then
    setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"
  else
    return 77
  fi
}

case_unsorted() {
  old_index
  seq -w 1000 1999 > sorted.txt
  { echo 2000; cat sorted.txt; } > first.txt
  { seq -w 1000 1499; echo 1000; seq -w 1500 1999; } > middle.txt
  { cat sorted.txt; echo 0999; } > last.txt
  for keys in first.txt middle.txt last.txt; do
    expect_refused "$(build_error $keys)" $keys
  done
}

case_odd_bytes() {
  old_index
  # A key ends at its first NUL byte: these keys are a, a, b.
  printf 'a\000z\na\000b\nb\n' > nul.txt
  expect_built nul.txt
  expect_eq "$(printf 'a\nb\na\000z\n' | "$READER" built.idx | tr '\t\n' ': ')" "0:a 2:b 0:a " "values"
  # ...so what follows it does not count towards the order either.
  printf 'ab\na\000zz\n' > nul-unsorted.txt
  expect_refused "$(build_error nul-unsorted.txt)" nul-unsorted.txt
  # Carriage returns belong to their keys: a list with CR LF line ends builds, its keys end
  # in CR, and one sorted as text may be out of order as bytes (CR sorts after tab).
  printf 'apple\r\nbanana\r\n' > crlf.txt
  expect_built crlf.txt
  expect_eq "$(printf 'apple\r\napple\n' | "$READER" built.idx | cut -f1 | tr '\n' ' ')" "0 -1 " "CR LF keys"
  printf 'a\r\na\tb\r\n' > crlf-unsorted.txt
  expect_refused "$(build_error crlf-unsorted.txt)" crlf-unsorted.txt
  # Only newlines: every line is the empty key.
  printf '\n\n\n' > newlines.txt
  expect_built newlines.txt
  # Noise: lines of random bytes are not in order.
  head -c 1000000 /dev/urandom > noise.bin
  expect_refused "$(build_error noise.bin)" noise.bin
}

case_huge_line() {
  # One line of 100 MB: one unit a byte, an 800 MB index. The build without sanitizers keeps
  # this to seconds.
  old_index
  head -c 100000000 /dev/zero | tr '\0' 'q' > huge.txt
  printf 'a\n' > shortkey.txt
  "$PLAIN_TOOL" huge.txt kept.idx > out 2> err
  expect_eq "$?" 0 "status"
  [ "$(wc -c < kept.idx)" -gt 800000000 ] || fail "index of $(wc -c < kept.idx) bytes"
  expect_eq "$("$READER" kept.idx < huge.txt | cut -c1-2)" "0	" "the long key"
  expect_eq "$(printf 'qqq\n' | "$READER" kept.idx)" "-1	qqq" "a prefix of it"
}

case_unreadable() {
  old_index
  mkdir dir
  expect_refused "Cannot Open: dir" dir
  expect_refused "Cannot Open: missing.txt" missing.txt
  printf 'a\n' > locked.txt
  chmod 000 locked.txt
  chmod 755 "$work"
  chmod 666 kept.idx
  cp kept.idx before.idx
  as_other_user "$TOOL" locked.txt kept.idx > out 2> err
  local status=$?
  if [ "$status" -eq 77 ]; then
    skip "cannot run as another user; the unreadable file is not tested"
    return
  fi
  expect_eq "$status" 255 "status for an unreadable file"
  expect_eq "$(cat err)" "Cannot Open: locked.txt" "message for an unreadable file"
  expect_file kept.idx before.idx "index after an unreadable file"
}

case_index_directory() {
  printf 'a\nb\n' > keys.txt
  "$TOOL" keys.txt missing/out.idx > out 2> err
  expect_eq "$?" 255 "status for a missing directory"
  expect_eq "$(cat err)" "$(build_error keys.txt)" "message for a missing directory"
  absent missing "the missing directory"
  # A directory that may not be written: neither a new Index nor a temporary file can be made
  # there, and an existing Index is not truncated in place.
  mkdir locked
  old_index
  cp kept.idx locked/kept.idx
  chmod 666 locked/kept.idx
  chmod 555 locked
  chmod 755 "$work"
  build_into_locked
  chmod 755 locked  # so that the scratch directory can be removed
}

# Builds into the read-only directory `locked` as a user without root's powers.
build_into_locked() {
  local status index
  for index in locked/new.idx locked/kept.idx; do
    as_other_user "$TOOL" keys.txt "$index" > out 2> err
    status=$?
    if [ "$status" -eq 77 ]; then
      skip "cannot run as another user; the read-only directory is not tested"
      return
    fi
    expect_eq "$status" 255 "status for $index"
    expect_eq "$(cat err)" "$(build_error keys.txt)" "message for $index"
  done
  absent locked/new.idx "new index in a read-only directory"
  expect_file locked/kept.idx kept.idx "index in a read-only directory"
  expect_eq "$(ls -A locked)" kept.idx "the read-only directory"
}

case_full_disk() {
  # A 1 MiB file system holds the old index but not the new one nor its temporary file.
  "$KEYGEN" words 20000 > keys.txt
  old_index
  cat > inside.sh << 'EOF'
mount -t tmpfs -o size=1m tmpfs disk || exit 77
cp kept.idx disk/kept.idx
"$TOOL" keys.txt disk/kept.idx > out 2> err
echo $? > status
cmp -s kept.idx disk/kept.idx && echo same > compared
ls -A disk > left
EOF
  mkdir disk
  TOOL=$TOOL unshare -Urm bash inside.sh
  if [ "$?" -ne 0 ] || [ ! -f status ]; then
    skip "cannot mount a small file system here; a full disk is not tested"
    return
  fi
  expect_eq "$(cat status)" 255 "status on a full disk"
  expect_eq "$(cat err)" "$(build_error keys.txt)" "message on a full disk"
  expect_eq "$(cat compared 2> /dev/null)" same "index on a full disk"
  expect_eq "$(cat left)" kept.idx "files left on the full disk"
}

# interrupt SIGNAL WAIT: starts a build of keys.txt into kept.idx, sends SIGNAL once WAIT (a
# command) returns, and checks that the run ended by the signal with kept.idx as it was, or
# ended after finishing the index. Sets `interrupted` when the signal came before the rename.
interrupt() {
  local signal=$1 wait=$2
  cp kept.idx before.idx
  "$TOOL" keys.txt kept.idx > /dev/null 2>&1 &
  local pid=$!
  until_started "$pid"
  $wait "$pid"
  kill "-$signal" "$pid" 2> /dev/null
  wait "$pid" 2> /dev/null
  local status=$?
  interrupted=
  if cmp -s kept.idx before.idx; then
    expect_eq "$status" $((128 + $(kill -l "$signal"))) "status after SIG$signal"
    interrupted=yes
  else
    # Once the new index is in place the run has succeeded; a signal no longer changes that.
    expect_file kept.idx new.idx "index after SIG$signal"
    expect_eq "$status" 0 "status after SIG$signal, with the new index in place"
  fi
  expect_eq "$(temporaries)" 0 "temporary files after SIG$signal"
  cp before.idx kept.idx
}

# until_started PID: returns once the background job PID runs the tool, or has ended.
until_started() {
  local program
  program=$(readlink -f "$TOOL")
  while kill -0 "$1" 2> /dev/null && [ "$(readlink "/proc/$1/exe")" != "$program" ]; do :; done
}

# until_temporary PID: returns once PID has created its temporary file, or has ended.
until_temporary() {
  while kill -0 "$1" 2> /dev/null && ! compgen -G ".tessel-$1-*" > /dev/null; do :; done
}
after_ms() { sleep "$(printf '0.%03d' "$1")"; }

case_interrupted() {
  # Job control, so that background runs do not start with SIGINT ignored.
  set -m
  "$KEYGEN" words 300000 > keys.txt
  "$TOOL" keys.txt new.idx > /dev/null
  old_index
  local hits=0 signal ms
  for signal in INT TERM HUP; do
    for _ in 1 2 3; do
      interrupt "$signal" until_temporary
      [ -n "$interrupted" ] && hits=$((hits + 1))
    done
    for ms in 0 5 20 50 100 200 400; do
      interrupt "$signal" "after_ms $ms"
    done
  done
  [ "$hits" -gt 0 ] || fail "no signal arrived during the write"
}

# A key list of 32 MiB or more is mapped and its index built in the pages of the temporary
# file: a disk that fills at the first reservation or at a later growth, a signal during the
# build, a key list cut short under the builder, and an Index that cannot take a mapped build.
case_mapped_build() {
  set -m
  # These units fit in memory here: a limit on the process's data makes the build put them in
  # the pages of the temporary file, the path this case tests (without the sanitizers, whose
  # reservations no such limit allows).
  ulimit -d 250000
  TOOL=$PLAIN_TOOL
  "$KEYGEN" urls 1300000 > keys.txt
  [ "$(stat -c %s keys.txt)" -ge $((32 << 20)) ] || fail "the key list is too small to be mapped"
  "$TOOL" keys.txt new.idx > /dev/null || fail "a mapped build"
  old_index
  cat > inside.sh << 'EOF'
mount -t tmpfs -o size=1m tmpfs disk || exit 77
for filled in 1000 0; do
  rm -f disk/*
  cp kept.idx disk/kept.idx
  [ "$filled" = 0 ] || head -c "${filled}k" /dev/zero > disk/filler 2> /dev/null
  "$TOOL" keys.txt disk/kept.idx > /dev/null 2> "err.$filled"
  echo $? > "status.$filled"
  cmp -s kept.idx disk/kept.idx && echo same > "compared.$filled"
  ls -A disk | grep -v filler > "left.$filled"
done
EOF
  mkdir disk
  if TOOL=$TOOL unshare -Urm bash inside.sh && [ -f status.0 ]; then
    for filled in 1000 0; do  # at the reservation, then at a growth
      expect_eq "$(cat "status.$filled")" 255 "status on a full disk ($filled)"
      expect_eq "$(cat "err.$filled")" "$(build_error keys.txt)" "message on a full disk ($filled)"
      expect_eq "$(cat "compared.$filled" 2> /dev/null)" same "index on a full disk ($filled)"
      expect_eq "$(cat "left.$filled")" kept.idx "files left on a full disk ($filled)"
    done
  else
    skip "cannot mount a small file system here; a full disk is not tested"
  fi
  for _ in 1 2 3; do
    interrupt INT until_temporary
  done
  # Cut short while mapped: an error, not a bus error, and Index as it was; or, when the
  # builder read its last key before the cut, the new index.
  cp keys.txt whole.txt
  local hits=0 status pid ms
  for ms in 0 20 60 120 250 400; do
    cp whole.txt keys.txt
    cp kept.idx before.idx
    "$TOOL" keys.txt kept.idx > /dev/null 2> err &
    pid=$!
    until_temporary "$pid"
    after_ms "$ms"
    : > keys.txt
    wait "$pid"
    status=$?
    if [ "$status" = 255 ]; then
      hits=$((hits + 1))
      expect_eq "$(cat err)" "Cannot Read: keys.txt" "message for a key list cut short"
      expect_file kept.idx before.idx "index after a key list cut short"
    else
      expect_eq "$status" 0 "status when the key list was cut after it was read"
      expect_file kept.idx new.idx "index when the key list was cut after it was read"
      cp before.idx kept.idx
    fi
    compgen -G ".tessel-$pid-*" > /dev/null && fail "temporary file after a key list cut short"
  done
  [ "$hits" -gt 0 ] || fail "no key list was cut short under the builder"
  # A FIFO as Index takes the units from memory, as before.
  cp whole.txt keys.txt
  mkfifo fifo.idx
  cat fifo.idx > from_fifo.idx &
  "$TOOL" keys.txt fifo.idx > /dev/null || fail "a mapped key list into a FIFO"
  wait
  expect_file from_fifo.idx new.idx "index written into a FIFO"
}

# Where the units live follows the memory the process can have: the same bytes in memory, in
# the pages of the temporary file under a limit on its data, and under a memory cgroup's limit
# below the index's size, which anonymous memory could not keep to without being killed.
case_memory_limits() {
  "$KEYGEN" urls 1300000 > keys.txt
  "$PLAIN_TOOL" keys.txt free.idx > /dev/null || fail "a build without limits"
  (ulimit -d 250000 && "$PLAIN_TOOL" keys.txt data.idx > /dev/null) || fail "a build under a data limit"
  expect_file data.idx free.idx "index under a data limit"
  local group="" root=/sys/fs/cgroup
  if [ "$(id -u)" = 0 ] && [ -w "$root/memory" ]; then
    group=$root/memory/tessel-test-$$
    mkdir "$group" && echo $((64 << 20)) > "$group/memory.limit_in_bytes"
  elif [ "$(id -u)" = 0 ] && grep -qw memory "$root/cgroup.controllers" 2> /dev/null; then
    group=$root/tessel-test-$$
    mkdir "$group" && echo $((64 << 20)) > "$group/memory.max"
  fi
  if [ -n "$group" ] && [ -d "$group" ]; then
    bash -c 'echo $$ > "$1/cgroup.procs" && exec "$2" keys.txt limited.idx' _ "$group" "$PLAIN_TOOL" \
      > /dev/null 2> err
    expect_eq "$?" 0 "status under a 64 MiB memory cgroup"
    expect_file limited.idx free.idx "index under a 64 MiB memory cgroup"
    rmdir "$group"
  else
    skip "no memory cgroup to make here (needs root); the cgroup's limit is not tested"
  fi
}

# The build's helper thread, which takes page faults ahead of the builder, is only help: where
# no thread can start (a pids cgroup that holds the build alone), the build goes on without it
# to the same bytes.
case_no_helper_thread() {
  "$KEYGEN" urls 300000 > keys.txt
  "$PLAIN_TOOL" keys.txt free.idx > /dev/null || fail "a build with its helper"
  local group=/sys/fs/cgroup/pids/tessel-test-$$
  [ -w /sys/fs/cgroup/pids ] || group=/sys/fs/cgroup/tessel-test-$$
  if [ "$(id -u)" = 0 ] && mkdir "$group" 2> /dev/null && echo 1 > "$group/pids.max"; then
    bash -c 'echo $$ > "$1/cgroup.procs" && exec "$2" keys.txt alone.idx' _ "$group" "$PLAIN_TOOL" \
      > /dev/null 2> err
    expect_eq "$?" 0 "status where no thread can start"
    expect_eq "$(sed -n 's/^max //p' "$group/pids.events")" 1 "threads refused to the build"
    expect_file alone.idx free.idx "index built without its helper"
    rmdir "$group"
  else
    [ -d "$group" ] && rmdir "$group"
    skip "no pids cgroup to make here (needs root); a build without its helper is not tested"
  fi
}

# An index cut short while a reader has it mapped (as `cp` over it does, rewriting it in
# place): the reader says so in one line and exits with 2, where the system would have ended
# it with SIGBUS.
case_index_shrinks() {
  "$KEYGEN" words 20000 > keys.txt
  "$TOOL" keys.txt shrinks.idx > /dev/null
  mkfifo queries
  "$READER" shrinks.idx < queries > answers 2> err &
  local reader=$!
  exec 3> queries
  head -1 keys.txt >&3
  local i
  for i in $(seq 200); do [ -s answers ] && break; sleep 0.05; done
  expect_eq "$(cut -f1 answers)" 0 "the answer before the index shrank"
  : > shrinks.idx
  tail -1 keys.txt >&3
  exec 3>&-
  wait "$reader"
  expect_eq "$?" 2 "status once the index shrank"
  expect_eq "$(cat err)" "Cannot Read: shrinks.idx: cut short while it was read, or its disk failed (replace an index by renaming a new file over it)" \
    "message once the index shrank"
}

case_killed() {
  # SIGKILL cannot be handled: Index stays as it was and the temporary file, named after the
  # process, may stay beside it.
  "$KEYGEN" words 300000 > keys.txt
  "$TOOL" keys.txt new.idx > /dev/null
  old_index
  cp kept.idx before.idx
  "$TOOL" keys.txt kept.idx > /dev/null 2>&1 &
  local pid=$!
  until_started "$pid"
  until_temporary "$pid"
  local seen
  seen=$(compgen -G '.tessel-*')
  kill -KILL "$pid" 2> /dev/null
  wait "$pid" 2> /dev/null
  if [ -n "$seen" ] && cmp -s kept.idx before.idx; then
    [[ "$seen" == .tessel-$pid-*.tmp ]] || fail "temporary file $seen is not named after $pid"
  fi
  cmp -s kept.idx before.idx || cmp -s kept.idx new.idx || fail "a half-written index"
}

case_concurrent_writers() {
  # Eight builds of different lists into one Index: the last rename wins whole.
  local i pids=()
  for i in 1 2 3 4 5 6 7 8; do
    "$KEYGEN" words $((20000 + 5000 * i)) "$i" > "keys$i.txt"
  done
  for i in 1 2 3 4 5 6 7 8; do
    "$TOOL" "keys$i.txt" shared.idx > "out$i" 2> "err$i" &
    pids+=($!)
  done
  for i in 1 2 3 4 5 6 7 8; do
    wait "${pids[$((i - 1))]}"
    expect_eq "$?" 0 "status of writer $i"
  done
  local winner=
  for i in 1 2 3 4 5 6 7 8; do
    if "$READER" -c "keys$i.txt" shared.idx > /dev/null 2>&1; then winner=$i; fi
  done
  [ -n "$winner" ] || fail "the index holds none of the eight lists"
  expect_eq "$(temporaries)" 0 "temporary files"
}

# Every signal whose default action ends the program removes the temporary file, as SIGINT does.
case_other_signals() {
  set -m
  "$KEYGEN" words 300000 > keys.txt
  "$TOOL" keys.txt new.idx > /dev/null
  old_index
  local hits=0 signal
  for signal in USR1 USR2 ALRM PIPE XCPU VTALRM PROF QUIT; do
    for _ in 1 2; do
      interrupt "$signal" until_temporary
      [ -n "$interrupted" ] && hits=$((hits + 1))
    done
  done
  [ "$hits" -gt 0 ] || fail "no signal arrived during the write"
  # Ignored at start, a signal stays ignored.
  (
    trap '' USR1
    "$TOOL" keys.txt ignored.idx > /dev/null &
    pid=$!
    until_temporary "$pid"
    kill -USR1 "$pid"
    wait "$pid"
  )
  expect_eq "$?" 0 "an ignored signal"
  expect_file ignored.idx new.idx "index after an ignored signal"
}

# A run that reports a failure of standard output leaves Index as it was.
case_output_failure() {
  "$KEYGEN" words 20000 > keys.txt
  old_index
  expect_output_refused() {
    expect_eq "$1" 255 "status with standard output $2"
    expect_eq "$(cat err)" "Cannot Write: standard output" "message with standard output $2"
    expect_file kept.idx before.idx "index with standard output $2"
    expect_eq "$(temporaries)" 0 "temporary files with standard output $2"
  }
  cp kept.idx before.idx
  "$TOOL" keys.txt kept.idx > /dev/full 2> err
  expect_output_refused "$?" "on a full device"
  "$TOOL" keys.txt kept.idx >&- 2> err
  expect_output_refused "$?" "closed"
  # A pipe whose reader is gone, with SIGPIPE ignored as services run.
  mkfifo gone
  (exec 3< gone; exec 3<&-) &
  (trap '' PIPE && exec "$TOOL" keys.txt kept.idx > gone 2> err)
  expect_output_refused "$?" "a broken pipe"
  wait
}

# Standard output blocked on the ratio line: a signal then leaves the old index, and once the
# reader drains the pipe the run ends with the new one.
case_blocked_output() {
  "$KEYGEN" words 20000 > keys.txt
  "$TOOL" keys.txt new.idx > /dev/null
  old_index
  cp kept.idx before.idx
  cat > blocked.py << 'EOF'
import fcntl, os, select, signal, subprocess, sys, time
def run(drain):
    read, write = os.pipe()
    # For the signal, each sync is held a second, so that the pipe is full before the ratio
    # line comes however busy the machine.
    held = [] if drain else ["strace", "-f", "-o", "/dev/null", "-e", "trace=fsync,fdatasync",
                             "-e", "inject=fsync,fdatasync:delay_exit=1000000"]
    tool = subprocess.Popen(held + [sys.argv[1], "keys.txt", "kept.idx"], stdout=write,
                            stderr=subprocess.DEVNULL)
    # The ratio line may come in the same read as the progress (no syncs held back, a busy
    # machine); a tool that ends before its progress is seen ends the test, not hangs it.
    seen, done = b"", b"100% |" + b"*" * 43 + b"| \n"
    while done not in seen:
        if select.select([read], [], [], 1)[0]:
            seen += os.read(read, 65536)
        elif tool.poll() is not None:
            sys.exit(f"the tool ended with {tool.returncode} before its progress was seen")
    # The progress is read; the pipe is filled up so that the ratio line must wait. A file
    # description of its own keeps the tool's writes blocking.
    filler = os.open(f"/proc/self/fd/{write}", os.O_WRONLY | os.O_NONBLOCK)
    try:
        while True:
            os.write(filler, b"x" * 512)
    except BlockingIOError:
        pass
    os.close(filler)
    time.sleep(1.5)  # written, synced, waiting on the ratio line
    if drain:
        fcntl.fcntl(read, fcntl.F_SETFL, os.O_NONBLOCK)
        while tool.poll() is None:
            try:
                os.read(read, 65536)
            except BlockingIOError:
                time.sleep(0.01)
    else:
        # To the tool, not strace, which then ends as the tool did.
        children = open(f"/proc/{tool.pid}/task/{tool.pid}/children").read().split()
        os.kill(int(children[0]), signal.SIGINT)
    print(tool.wait())
    os.close(read)
    os.close(write)
run(False)
os.system("cmp -s kept.idx before.idx && echo old || echo new")
run(True)
os.system("cmp -s kept.idx new.idx && echo new || echo other")
EOF
  /usr/bin/python3 blocked.py "$TOOL" > results
  expect_eq "$(tr '\n' ' ' < results)" "-2 old 0 new " "signal on a blocked ratio line, then a drained one"
  expect_eq "$(temporaries)" 0 "temporary files"
}

# tessel-weights stopped by a signal while its companion file is written: the old companion
# stays, and no temporary file.
case_weights_interrupted() {
  set -m
  "$KEYGEN" words 300000 > keys.txt
  "$TOOL" keys.txt kept.idx > /dev/null
  awk '{ print NR % 1000 }' keys.txt > weights.txt
  "$WEIGHTS" weights.txt kept.idx > /dev/null || fail "the first weights"
  cp kept.idx.weights before.weights
  awk '{ print 7 }' keys.txt > other.txt
  local signal tool status
  for signal in INT TERM; do
    # Each sync is held a second, so that the signal comes while the temporary file stands.
    strace -f -o /dev/null -e trace=fsync,fdatasync \
      -e inject=fsync,fdatasync:delay_exit=1000000 "$WEIGHTS" other.txt kept.idx > /dev/null &
    local pid=$!
    # The temporary file's name holds the tool's process number (strace may start others).
    tool=
    while kill -0 "$pid" 2> /dev/null && [ -z "$tool" ]; do
      tool=$(ls -A | sed -n 's/^\.tessel-\([0-9]*\)-.*\.tmp$/\1/p' | head -n 1)
    done
    kill "-$signal" "$tool"
    wait "$pid"
    status=$?
    expect_eq "$status" $((128 + $(kill -l "$signal"))) "status after SIG$signal"
    expect_file kept.idx.weights before.weights "companion after SIG$signal"
    expect_eq "$(temporaries)" 0 "temporary files after SIG$signal"
  done
  "$READER" -v kept.idx > /dev/null 2>&1 || fail "the companion checks out"
  # A sharded index: a signal at the third shard's companion puts the first two back too.
  mkdir shards
  "$MAKE_SHARDS" keys.txt shards 4 || fail "making shards"
  "$WEIGHTS" weights.txt shards > /dev/null || fail "the shards' first weights"
  cp -r shards before
  for signal in INT TERM; do
    strace -f -o /dev/null -e trace=fsync,fdatasync \
      -e inject=fsync,fdatasync:delay_exit=300000 "$WEIGHTS" other.txt shards > /dev/null &
    local pid=$!
    tool=
    while kill -0 "$pid" 2> /dev/null && [ -z "$tool" ]; do
      tool=$(ls -A shards | sed -n 's/^\.shard-test-2\.idx\.weights-\([0-9]*\)-.*\.tmp$/\1/p' | head -n 1)
    done
    kill "-$signal" "$tool"
    wait "$pid"
    status=$?
    expect_eq "$status" $((128 + $(kill -l "$signal"))) "status after SIG$signal on shards"
    diff -r before shards > /dev/null || fail "companions of shards after SIG$signal: $(diff -rq before shards | head -n 3)"
  done
}

# Index named through /dev/fd or /proc: what is written is what the path names.
case_fd_paths() {
  printf 'a\nb\n' > keys.txt
  "$TOOL" keys.txt expected.idx > /dev/null
  "$TOOL" keys.txt >(cat > piped.idx) > /dev/null 2> err
  expect_eq "$?" 0 "a pipe through /dev/fd"
  sleep 0.5
  expect_file piped.idx expected.idx "index through a pipe"
  exec 3<> gone.idx
  rm gone.idx
  "$TOOL" keys.txt /dev/fd/3 > /dev/null 2> err
  expect_eq "$?" 0 "a deleted file through /dev/fd"
  expect_file /dev/fd/3 expected.idx "index in the deleted file"
  exec 3<&-
  expect_eq "$(ls -A | grep -c deleted)" 0 "no file named after the deleted one"
  "$TOOL" keys.txt /dev/stdout > stdout.idx 2> err
  expect_eq "$?" 0 "/dev/stdout as Index"
  expect_eq "$(head -c 8 stdout.idx | od -A n -t d4 | tr -s ' ')" " 1 0" \
    "a regular file as standard output gets the index"
  expect_eq "$(temporaries)" 0 "temporary files"
}

# An Index path close to PATH_MAX builds: the temporary file is made relative to its directory.
case_long_path() {
  printf 'a\nb\n' > keys.txt
  # A directory of 4,079 bytes: x.idx fits in PATH_MAX, a temporary name beside it would not.
  local long=$PWD part
  part=$(printf 'd%.0s' $(seq 200))
  while [ $((${#long} + 201)) -lt 4060 ]; do long=$long/$part; done
  long=$long/$(printf 'e%.0s' $(seq $((4078 - ${#long}))))
  mkdir -p "$long" || { skip "cannot make a path this long here"; return; }
  "$TOOL" keys.txt "$long/x.idx" > /dev/null 2> err
  expect_eq "$?" 0 "a path of ${#long} bytes"
  "$READER" -c keys.txt "$long/x.idx" > /dev/null || fail "the index under the long path"
  expect_eq "$(ls -A "$long")" x.idx "files beside it"
}

run_case "$@"
