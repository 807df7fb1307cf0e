"""Faults reachable from plain Python (each crashed, hung or answered wrongly once), and
Ctrl-C during a build. Reproductions that could crash run in a child interpreter, so that a
crash is a failure of this test and not the end of the run."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import tessel
from programs import make_shards  # pylint: disable=import-error


def run_child(code, timeout=120):
    """Runs `code` in a child interpreter that imports tessel as this one does."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=dict(os.environ))


def assert_stops_soon(test, call, answer):
    """call() gives `answer` when left alone; interrupted a tenth of the way in, it raises
    KeyboardInterrupt well before it would have ended. The way is measured in the process's
    processor time, which other work on a busy machine does not stretch as it stretches the
    clock's."""
    start = time.process_time()
    test.assertEqual(call(), answer)
    whole = time.process_time() - start

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGPROF, interrupt)
    try:
        signal.setitimer(signal.ITIMER_PROF, whole / 10)
        start = time.process_time()
        with test.assertRaises(KeyboardInterrupt):
            call()
            # Only reached when the call ignored the interrupt: spend the processor time
            # that the assertion below then finds.
            deadline = time.process_time() + whole
            while time.process_time() < deadline:
                pass
        test.assertLess(time.process_time() - start, whole * 0.6)
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, previous)


def processor_seconds(pid):
    """The processor time a process has used so far (user and system); None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-py-")
        self.path = os.path.join(self.dir, "keys.idx")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Faults(Scratch):
    def test_get_many_holds_its_queries_while_another_thread_clears_the_list(self):
        child = run_child(f"""
            import threading, time, tessel
            tessel.build([b"a"], {self.path!r})
            index = tessel.Index({self.path!r})
            for _ in range(3):
                queries = [b"a"] * 2_000_000 + [b"b" * 400_000 for _ in range(100)]
                threading.Thread(target=lambda: (time.sleep(0.01), queries.clear())).start()
                answers = index.get_many(queries)
                assert answers in ([], [0] * 2_000_000 + [-1] * 100), len(answers)
            print("ok")
        """)
        self.assertEqual(child.returncode, 0, child.stderr)
        self.assertEqual(child.stdout, "ok\n")

    def test_iterators_and_views_cannot_be_made_without_an_index(self):
        tessel.build(["a"], self.path)
        index = tessel.Index(self.path)
        for made in (iter(index), index.keys(), index.values(), index.items(),
                     iter(index.items())):
            with self.assertRaises(TypeError):
                type(made)()
        with self.assertRaises(TypeError):
            type("Derived", (tessel.Index,), {})
        child = run_child("""
            import tessel, tempfile, os
            path = os.path.join(tempfile.mkdtemp(), "k.idx")
            tessel.build(["a"], path)
            try:
                next(type(iter(tessel.Index(path)))())
            except TypeError:
                print("refused")
        """)
        self.assertEqual((child.returncode, child.stdout), (0, "refused\n"), child.stderr)

    def test_an_index_closed_while_its_queries_are_made_is_closed(self):
        tessel.build(["a", "b"], self.path)
        index = tessel.Index(self.path)

        def closing():
            yield "a"
            index.close()
            yield "b"

        with self.assertRaises(ValueError):
            index.get_many(closing())

    def test_each_method_names_itself(self):
        tessel.build(["a"], self.path)
        index = tessel.Index(self.path)
        for name in ("keys", "values", "items"):
            with self.assertRaisesRegex(TypeError, r"^%s\(\)" % name):
                getattr(index, name)("a", "b")


class Interrupts(Scratch):
    """Ctrl-C at any point of a build: KeyboardInterrupt soon, the old index kept, no
    temporary file left; or, after the rename, the new index and the interrupt after the call."""

    CHILD = """
        import signal, sys, time, tessel
        keys = [b"%010d" % (i * 7) for i in range(3_000_000)]
        signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            # Inside the try: a signal sent as soon as this is read comes before the build.
            print("ready", flush=True)
            tessel.build(keys, sys.argv[1])
            stopped = time.process_time()
            # The one signal, when it comes later, is ignored: "built" and its time follow.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            outcome = "built"
        except KeyboardInterrupt:
            stopped = time.process_time()
            # After the rename the interrupt may only come once the call has returned.
            kept = len(tessel.Index(sys.argv[1])) == 1
            outcome = "interrupted" if kept else "interrupted after the rename"
        print(outcome, flush=True)
        print(stopped, flush=True)  # its processor time when the build ended
    """

    def build_interrupted_after(self, delay):
        """Returns the child's last line and the seconds from the signal (none when `delay` is
        None) to that line: of the clock without a signal, of the child's processor time with
        one (which a busy machine does not stretch)."""
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(self.CHILD), self.path],
                                 stdout=subprocess.PIPE, text=True, env=dict(os.environ))
        try:
            self.assertEqual(child.stdout.readline(), "ready\n")
            sent = time.monotonic()
            if delay is not None:
                time.sleep(delay)
                # The child's own clock, read before the signal (none when it has ended: the
                # build then was done before the signal, and no latency is asked).
                sent = processor_seconds(child.pid)
                child.send_signal(signal.SIGINT)
            outcome = child.stdout.readline()
            stopped = float(child.stdout.readline() or "nan")
            if delay is None:
                latency = time.monotonic() - sent
            else:
                latency = stopped - sent if sent is not None else 0.0
            child.wait(60)
        finally:
            child.kill()
            child.stdout.close()
        return outcome, latency

    def test_a_build_stops_soon_and_keeps_the_old_index(self):
        tessel.build(["old"], self.path)
        outcome, whole = self.build_interrupted_after(None)
        self.assertEqual(outcome, "built\n")
        tessel.build(["old"], self.path)
        interrupted = 0
        for step in range(8):
            outcome, latency = self.build_interrupted_after(whole * step / 8)
            left = sorted(os.listdir(self.dir))
            self.assertEqual(left, ["keys.idx"])
            if outcome == "interrupted\n":
                interrupted += 1
                self.assertEqual(list(tessel.Index(self.path)), ["old"])
                # About 0.2 s of the child's time.
                self.assertLess(latency, 1.0)
            else:
                self.assertIn(outcome, ("built\n", "interrupted after the rename\n"))
                self.assertEqual(len(tessel.Index(self.path)), 3_000_000)
                tessel.build(["old"], self.path)
        self.assertGreaterEqual(interrupted, 4)

    def assert_stops_soon(self, call, answer):
        assert_stops_soon(self, call, answer)

    def test_get_many_stops_soon(self):
        # Long keys: the lookups, not the copying of the list, take the time of the call.
        key = b"x" * 2000
        tessel.build([key], self.path)
        with tessel.Index(self.path) as index:
            queries = [key] * 200_000
            self.assert_stops_soon(lambda: index.get_many(queries), [0] * len(queries))

    def test_a_long_listing_or_count_stops_soon(self):
        keys = [b"%07d" % n for n in range(1_000_000)]
        tessel.build(keys, self.path)
        with tessel.Index(self.path) as index:
            self.assert_stops_soon(lambda: len(index.predict(b"")), len(keys))
            # Counting the keys of a prefix walks them too, and so do iterations and a value
            # looked for among the values.
            self.assert_stops_soon(lambda: len(index.keys(b"0")), len(keys))
            self.assert_stops_soon(lambda: len(list(index.keys())), len(keys))
            self.assert_stops_soon(lambda: len(set(index.values())), len(keys))
            self.assert_stops_soon(lambda: len(sorted(index)), len(keys))
            self.assert_stops_soon(lambda: (5_000_000 in index.values()) + len(keys), len(keys))

    def test_the_first_count_of_a_large_file_stops_soon(self):
        # The first count reads the whole file, from the disk when it is not in memory: here
        # a root and a gigabyte of free units, sparse, read as zero pages. list() asks for
        # the count before it lists.
        with open(self.path, "wb") as out:
            out.write(b"\x01" + b"\0" * 7)
            out.truncate(1 << 30)
        self.assert_stops_soon(lambda: len(tessel.Index(self.path)), 0)
        self.assert_stops_soon(lambda: len(list(tessel.Index(self.path).keys())), 0)
        self.assert_stops_soon(lambda: list(iter(tessel.Index(self.path))), [])

    def test_a_build_in_a_thread_the_interpreter_leaves(self):
        # A daemon thread still building when the main thread ends, and one that Ctrl-C left
        # building while the main thread joined it: the process ends cleanly, and leaves no
        # temporary file.
        for ending in ("pass", "thread.join()"):
            child = run_child(f"""
                import os, signal, threading, time, tessel
                keys = [b"%09d" % n for n in range(3_000_000)]
                thread = threading.Thread(target=tessel.build, args=(keys, {self.path!r}),
                                          daemon=True)
                thread.start()
                threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
                time.sleep(0.2)
                {ending}
            """)
            # Ended by the interrupt (KeyboardInterrupt, then SIGINT's own status), or not.
            self.assertIn(child.returncode, (0, -signal.SIGINT), child.stderr)
            self.assertNotIn("terminate", child.stderr)
            self.assertFalse([name for name in os.listdir(self.dir) if name.endswith(".tmp")])

    def test_builds_in_a_thread_as_the_interpreter_ends(self):
        # Daemon threads build again and again while the main thread ends: some build ends,
        # or looks at signals, just as the interpreter starts ending. Taking the GIL back then
        # ended the thread inside a destructor (std::terminate), and a file made as the process
        # ended was left behind, in a few of these runs.
        for run in range(24):
            child = run_child(f"""
                import threading, time, tessel
                def build(n):
                    keys = [b"%09d" % k for k in range(n)]
                    while True:
                        tessel.build(keys, {self.path!r} + str(n))
                for n in (10, 100, {100 + 797 * run}):
                    threading.Thread(target=build, args=(n,), daemon=True).start()
                time.sleep({0.02 + 0.01 * (run % 12)})
            """)
            self.assertEqual(child.returncode, 0, child.stderr)
            self.assertFalse([name for name in os.listdir(self.dir) if name.endswith(".tmp")])

    def test_exceptions_name_what_is_wrong(self):
        tessel.build(["a", "b"], self.path)
        index = tessel.Index(self.path)
        for one in (memoryview(b"a"), bytearray(b"a"), "a", b"a"):
            with self.assertRaisesRegex(TypeError, "takes an iterable of queries, not one"):
                index.get_many(one)

        class Closing:
            def __index__(self):
                index.close()
                return 1

        with self.assertRaisesRegex(ValueError, "closed"):
            index.restore_key(Closing())
        used = tessel.Index(self.path)
        self.assertEqual(list(used), ["a", "b"])
        with self.assertRaises(ValueError):
            used.__setstate__({"binary": True})
        self.assertEqual(next(iter(used)), "a")

if __name__ == "__main__":
    unittest.main()


# Root (1, 0); 'a' (unit 99) and 'b' (unit 100) both claim base 200, so unit 200 has two
# parents: lookups answer, every walk of the whole index meets a unit twice.
SHARED_UNIT = (b"\x01\0\0\0\0\0\0\0" + b"\0" * (98 * 8)
               + b"\xc8\0\0\0\x01\0\0\0\xc8\0\0\0\x01\0\0\0" + b"\0" * (99 * 8)
               + b"\xff\xff\xff\xff\xc8\0\0\0" + b"\0" * (400 * 8))


class OneReader(Scratch):
    """A call fails with its own failure, and only the calls that meet it."""

    def sharded(self, keys, count):
        program = make_shards()
        if program is None:
            self.skipTest("no make-shards program")
        with open(os.path.join(self.dir, "keys.txt"), "wb") as out:
            out.writelines(key + b"\n" for key in keys)
        directory = os.path.join(self.dir, "shards")
        os.mkdir(directory)
        subprocess.run([program, os.path.join(self.dir, "keys.txt"), directory, str(count)],
                       check=True)
        return directory

    def test_a_shard_removed_after_open_still_answers(self):
        directory = self.sharded([b"%03d" % n for n in range(400)], 4)
        with tessel.Index(directory, binary=True) as index:
            self.assertEqual(len(index.shards), 4)
            os.unlink(os.path.join(directory, index.shards[3]["file"]))
            self.assertTrue(index.has_keys_with_prefix(b"35"))
            self.assertIn(b"350", index.keys())
            self.assertTrue(index.keys(b"35"))
            self.assertEqual(len(index.keys(b"35")), 10)
            self.assertEqual(index.get(b"001"), 1)
            self.assertEqual(index.get(b"399"), 399)
            index.verify()

    def test_every_walk_of_a_damaged_index_raises(self):
        with open(self.path, "wb") as out:
            out.write(SHARED_UNIT)
        with tessel.Index(self.path) as index:
            self.assertEqual((index["a"], index["b"]), (0, 0))  # lookups answer
            walks = {
                "items": lambda: list(index.items()),
                "keys": lambda: list(index),
                "reversed": lambda: list(reversed(index)),
                "values": lambda: set(index.values()),
                "predict": lambda: index.predict(""),
                "a value looked for": lambda: 12345 in index.values(),
                "verify": index.verify,
            }
            for name, walk in walks.items():
                with self.subTest(name), self.assertRaisesRegex(ValueError, "^Corrupt Index: "):
                    walk()
            # An iterator that met the damage ends there, and stays ended.
            iterator = iter(index.items())
            with self.assertRaises(ValueError):
                for _ in iterator:
                    pass
            self.assertEqual(list(iterator), [])

    def test_leftmost_longest_of_a_str_is_chosen_between_characters(self):
        tessel.build([b"x", b"x\xf0\x9f"], self.path)
        with tessel.Index(self.path) as index:
            self.assertEqual(index.findall("x😀", longest=True), [(0, 1, 0)])
            self.assertEqual(list(index.finditer("x😀", longest=True)), [(0, 1, 0)])
        # Against a plain reading: keys of random bytes, some of them pieces of characters.
        pieces = ["a", "é", "😀", "\udcff"]
        rng = __import__("random").Random(8)
        for _ in range(300):
            keys = sorted({"".join(rng.choice(pieces) for _ in range(rng.randint(1, 3)))
                           .encode("utf-8", "surrogateescape")[:rng.randint(1, 9)]
                           for _ in range(rng.randint(1, 6))})
            tessel.build(keys, self.path)
            text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 12)))
            expected = []
            at = 0
            while at < len(text):
                ends = [end for end in range(at + 1, len(text) + 1)
                        if text[at:end].encode("utf-8", "surrogateescape") in keys]
                if ends:
                    expected.append((at, ends[-1], keys.index(
                        text[at:ends[-1]].encode("utf-8", "surrogateescape"))))
                    at = ends[-1]
                else:
                    at += 1
            with tessel.Index(self.path) as index:
                self.assertEqual(index.findall(text, longest=True), expected, (keys, text))
                self.assertEqual(list(index.finditer(text, longest=True)), expected)

    def test_finditer_hands_on_nothing_once_the_index_is_closed(self):
        tessel.build([b"a"], self.path)
        index = tessel.Index(self.path)
        matches = index.finditer(b"a" * 20_000)
        self.assertEqual(next(matches), (0, 1, 0))
        index.close()
        with self.assertRaisesRegex(ValueError, "closed"):
            next(matches)

    def test_a_replaced_index_is_not_closed_under_the_tasks_that_use_it(self):
        from tessel import parallel  # pylint: disable=import-outside-toplevel
        tessel.build([b"old"], self.path)
        first = parallel._index(self.path)  # pylint: disable=protected-access
        os.rename(self.path, self.path + ".old")
        tessel.build([b"new"], self.path)
        second = parallel._index(self.path)  # pylint: disable=protected-access
        self.assertIsNot(first, second)
        self.assertFalse(first.closed)
        self.assertEqual(first.findall(b"old"), [(0, 3, 0)])
        self.assertEqual(second.findall(b"new"), [(0, 3, 0)])
        empty = os.path.join(self.dir, "empty")
        os.mkdir(empty)
        with self.assertRaisesRegex(ValueError, "^Not an Index: "):
            parallel._index(empty)  # pylint: disable=protected-access
