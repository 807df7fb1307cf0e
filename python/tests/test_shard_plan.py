"""The plan of a sharded build and the directory's owner, without Dask: the ranges' tasks run
one after the other in this process, as a cluster would run them."""

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest

import tessel
from tessel import _tessel  # type: ignore[attr-defined]
from tessel.shards import _plan, _tasks


def write_lines(path, keys):
    with open(path, "wb") as file:
        file.write(b"".join(key + b"\n" for key in keys))


def build_sorted(files, directory, shard_keys):
    """What tessel.shards.build does with sorted files, its tasks run here."""
    plan = _plan.SortedPlan(files, shard_keys)
    owner = _tessel._Directory(directory)
    try:
        generation = owner.begin()
        results = [_tasks.build_range(path, start, end, directory, generation, n)
                   for n, (path, start, end) in enumerate(plan.ranges)]
        entries, lines = plan.entries(results)
        owner.commit(entries, lines)
        owner.finish()
    finally:
        owner.close()


class Plan(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-plan-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def test_keys_out_of_order_are_told_at_their_line_whichever_range_finds_them(self):
        keys = [b"k%02d" % n for n in range(40)]
        keys[8], keys[9] = keys[9], keys[8]  # k08 on line 10, after k09
        keys[30], keys[31] = keys[31], keys[30]
        write_lines(self.path("keys.txt"), keys)
        for shard_keys in (3, 5, 100):
            with self.assertRaises(tessel.shards.OrderError) as raised:
                build_sorted([self.path("keys.txt")], self.path("index"), shard_keys)
            self.assertEqual(raised.exception.line, 10, shard_keys)
        # The directory the failed build made is gone with it.
        self.assertFalse(os.path.exists(self.path("index")))

    def test_runs_of_equal_keys_across_files_count_with_the_shard_before(self):
        # b's run goes on into the second file, which the third's repeats of d follow whole.
        files = {"1.txt": [b"a", b"b"], "2.txt": [b"b", b"b", b"c", b"d"], "3.txt": [b"d", b"d"]}
        for name, keys in files.items():
            write_lines(self.path(name), keys)
        build_sorted([self.path(name) for name in files], self.path("index"), 1)
        with tessel.ShardedIndex(self.path("index"), binary=True) as index:
            index.verify()
            self.assertEqual(list(index.items()), [(b"a", 0), (b"b", 1), (b"c", 4), (b"d", 5)])
            self.assertEqual(sum(shard["lines"] for shard in index.shards), 8)

    def test_the_owner_commits_only_shards_that_are_the_whole_input(self):
        write_lines(self.path("keys.txt"), [b"k%04d" % n for n in range(100)])
        build_sorted([self.path("keys.txt")], self.path("index"), 1000)
        kept = sorted(os.listdir(self.path("index")))
        plan = _plan.SortedPlan([self.path("keys.txt")], 30)
        owner = _tessel._Directory(self.path("index"))
        generation = owner.begin()
        results = [_tasks.build_range(path, start, end, self.path("index"), generation, n)
                   for n, (path, start, end) in enumerate(plan.ranges)]
        entries, lines = plan.entries(results)
        for wrong in (entries[1:], entries[:-1], [dict(entries[0], bytes=entries[0]["bytes"] + 8)]
                      + entries[1:]):
            with self.assertRaisesRegex(ValueError, "left as it was"):
                owner.commit(wrong, lines)
        with self.assertRaisesRegex(ValueError, "lines of the input's"):
            owner.commit(entries, lines + 1)
        self.assertFalse(owner.committed)
        owner.abandon()
        owner.close()
        self.assertEqual(sorted(os.listdir(self.path("index"))), kept)
        # A plan whose results come back short, as from a shard that failed to save.
        with self.assertRaises(ValueError):
            plan.entries(results[:-1])
        with self.assertRaises(ValueError):
            plan.entries([dict(result, lines=0) for result in results])

    def test_cleanup_removes_only_the_builds_own_names_inside_the_directory(self):
        # Names a pattern of the directory's path would have taken in its sibling.
        for name, other in (("x*", "xyz"), ("a[b]", "ab"), ("plain", "plain-too")):
            sibling = self.path(other)
            os.makedirs(sibling, exist_ok=True)
            write_lines(os.path.join(sibling, ".tessel-1-2-3.tmp"), [b"sibling"])
            write_lines(os.path.join(sibling, ".shard-1-2-00000.idx-1-2-3.tmp"), [b"sibling"])
            directory = self.path(name)
            os.makedirs(directory, exist_ok=True)
            # A user's own files, and what a build killed with SIGKILL left.
            own = ["shard-mine.idx", "shard-mine.idx.weights", ".tessel-x.tmp", "notes"]
            for file in own:
                write_lines(os.path.join(directory, file), [b"mine"])
            dead = "1234abcd-99"
            leftovers = [f".tessel-building-{dead}", f".shard-{dead}-00003.idx-77-1f-0.tmp",
                         f"shard-{dead}-00003.idx", f"shard-{dead}-00003.idx.weights",
                         f".shard-{dead}-00003.idx.weights-77-1f-0.tmp"]
            for file in leftovers:
                write_lines(os.path.join(directory, file), [b"left"])
            write_lines(self.path("keys.txt"), [b"a", b"b"])
            build_sorted([self.path("keys.txt")], directory, 10)
            # The companions of the shards that a new build replaces go with them.
            for shard in tessel.ShardedIndex(directory).shards:
                write_lines(os.path.join(directory, shard["file"] + ".weights"), [b"weights"])
            build_sorted([self.path("keys.txt")], directory, 1)
            left = set(os.listdir(directory))
            self.assertEqual(left & set(leftovers), set(), name)
            self.assertEqual(left - {"MANIFEST"} - set(own),
                             {shard["file"] for shard in tessel.ShardedIndex(directory).shards})
            self.assertEqual(len(os.listdir(sibling)), 2, name)

    def test_a_manifest_that_is_a_link_is_replaced_not_followed(self):
        write_lines(self.path("outside"), [b"not a manifest"])
        os.makedirs(self.path("index"))
        os.symlink(self.path("outside"), self.path("index", "MANIFEST"))
        write_lines(self.path("keys.txt"), [b"a"])
        build_sorted([self.path("keys.txt")], self.path("index"), 10)
        self.assertFalse(os.path.islink(self.path("index", "MANIFEST")))
        with open(self.path("outside"), "rb") as file:
            self.assertEqual(file.read(), b"not a manifest\n")
        self.assertEqual(tessel.ShardedIndex(self.path("index"))["a"], 0)

    def test_one_build_at_a_time(self):
        first = _tessel._Directory(self.path("index"))
        with self.assertRaisesRegex(BlockingIOError, "another build"):
            _tessel._Directory(self.path("index"))
        first.close()
        _tessel._Directory(self.path("index")).close()
        write_lines(self.path("file"), [b"a"])
        with self.assertRaises(NotADirectoryError):
            _tessel._Directory(self.path("file"))

    def test_the_first_key_out_of_order_is_named_where_a_range_is_also_unsorted_inside(self):
        write_lines(self.path("f.txt"), [b"a", b"b", b"c", b"d", b"b", b"z", b"y"])
        with self.assertRaises(tessel.shards.OrderError) as raised:
            build_sorted([self.path("f.txt")], self.path("index"), 3)
        self.assertEqual((raised.exception.path, raised.exception.line), (self.path("f.txt"), 5))
        write_lines(self.path("s1.txt"), [b"a", b"b", b"c"])
        write_lines(self.path("s2.txt"), [b"b", b"z", b"y"])
        with self.assertRaises(tessel.shards.OrderError) as raised:
            build_sorted([self.path("s1.txt"), self.path("s2.txt")], self.path("index"), 3)
        self.assertEqual((raised.exception.path, raised.exception.line), (self.path("s2.txt"), 1))

    def test_a_failed_build_keeps_every_shard_the_manifest_lists(self):
        write_lines(self.path("keys.txt"), [b"k%03d" % n for n in range(100)])
        build_sorted([self.path("keys.txt")], self.path("index"), 30)
        manifest = self.path("index", "MANIFEST")
        with open(manifest, "rb") as file:
            lines = file.read().split(b"\n")
        # A generation line that names no shard's generation, as a hand edit may leave.
        lines[1] = b"generation abc-1"
        with open(manifest, "wb") as file:
            file.write(b"\n".join(lines))
        tessel.Index(self.path("index")).verify()
        write_lines(self.path("unsorted.txt"), [b"b", b"a"])
        with self.assertRaises(tessel.shards.OrderError):
            build_sorted([self.path("unsorted.txt")], self.path("index"), 30)
        with tessel.Index(self.path("index")) as index:
            index.verify()
            self.assertEqual(index["k099"], 99)
        # A failed build into a directory that did not exist leaves none.
        with self.assertRaises(tessel.shards.OrderError):
            build_sorted([self.path("unsorted.txt")], self.path("new"), 30)
        self.assertFalse(os.path.exists(self.path("new")))

    def test_a_build_killed_at_the_manifest_rename_leaves_what_the_next_build_removes(self):
        strace = shutil.which("strace")
        if strace is None:
            self.skipTest("no strace")
        write_lines(self.path("keys.txt"), [b"k%03d" % n for n in range(100)])
        os.mkdir(self.path("index"))
        child = (f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r}); "
                 "from test_shard_plan import build_sorted; "
                 f"build_sorted([{self.path('keys.txt')!r}], {self.path('index')!r}, 50)")
        # Two shards are renamed into place, then the manifest: the third rename is killed.
        for signal_name in ("SIGKILL", "SIGTERM"):
            subprocess.run([strace, "-f", "-qq", "-o", os.devnull, "-e", "trace=renameat",
                            "-e", f"inject=renameat:signal={signal_name}:when=3",
                            sys.executable, "-c", child], env=dict(os.environ), check=False,
                           capture_output=True)
            left = os.listdir(self.path("index"))
            if signal_name == "SIGKILL":  # killed before the rename: nothing removes the file
                self.assertNotIn("MANIFEST", left)
                self.assertTrue(any(name.startswith(".MANIFEST-") for name in left), left)
            build_sorted([self.path("keys.txt")], self.path("index"), 50)
            left = sorted(os.listdir(self.path("index")))
            self.assertEqual([name for name in left if name.startswith(".")], [])
            with tessel.Index(self.path("index")) as index:
                self.assertEqual(left, sorted(["MANIFEST"] + [s["file"] for s in index.shards]))
            os.unlink(self.path("index", "MANIFEST"))  # the next round builds anew

    def test_a_reader_keeps_every_shard_through_a_rebuild_under_a_low_file_limit(self):
        write_lines(self.path("old.txt"), [b"old%04d" % n for n in range(3000)])
        write_lines(self.path("new.txt"), [b"new%04d" % n for n in range(3000)])
        build_sorted([self.path("old.txt")], self.path("index"), 10)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
        try:
            reader = tessel.Index(self.path("index"))
            self.assertEqual(len(reader.shards), 300)
            self.assertEqual([reader[b"old%04d" % n] for n in range(0, 100, 10)],
                             list(range(0, 100, 10)))
            build_sorted([self.path("new.txt")], self.path("index"), 10)
            self.assertEqual(reader.get_many([b"old%04d" % n for n in range(3000)]),
                             list(range(3000)))
            self.assertEqual(len(list(reader.items())), 3000)
            reader.verify()
            reader.close()
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        with tessel.Index(self.path("index")) as fresh:
            self.assertEqual((fresh.get(b"old0001"), fresh[b"new2999"]), (None, 2999))

    def test_a_script_that_builds_outside_its_main_guard_is_refused_at_once(self):
        # Refused before any cluster starts: at the top of the script, and from a function
        # called there. (A guarded build starts a cluster: the install test runs one.)
        write_lines(self.path("keys.txt"), [b"a"])
        build = f"tessel.shards.build([{self.path('keys.txt')!r}], {self.path('index')!r})"
        for script in (f"import tessel.shards\n{build}\n",
                       f"import tessel.shards\ndef main():\n    {build}\nmain()\n"):
            path = self.path("script.py")
            with open(path, "w", encoding="utf-8") as file:
                file.write(script)
            done = subprocess.run([sys.executable, path], capture_output=True, text=True,
                                  timeout=60, env=dict(os.environ), check=False)
            self.assertNotEqual(done.returncode, 0)
            self.assertIn('put the build under if __name__ == "__main__":', done.stderr)
            self.assertFalse(os.path.exists(self.path("index")))

    def test_unsorted_entries_need_every_key(self):
        results = [{"keys": 0, "lines": 0, "given": 0},
                   {"keys": 2, "lines": 2, "given": 3, "first": b"a", "last": b"b"}]
        entries, lines = _plan.unsorted_entries(results, 3)
        self.assertEqual((len(entries), entries[0]["number"], entries[0]["base"], lines), (1, 1, 0, 2))
        with self.assertRaises(ValueError):
            _plan.unsorted_entries(results, 4)
        self.assertEqual(_plan.range_count(3000, 10_000_000), 1)
        self.assertEqual(_plan.range_count(3000, 1000), 3)


if __name__ == "__main__":
    unittest.main()
