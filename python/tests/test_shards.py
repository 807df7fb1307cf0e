"""Sharded indexes built on real Dask clusters on the loopback address, checked against one
index and brute force: sorted and unsorted input, many shards, a worker killed mid-build, an
interrupted build, a rebuild under a live reader, damaged and hostile manifests."""

import contextlib
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import tessel

try:
    import dask.bag
    import dask.dataframe
    import pandas
    from distributed import Client, LocalCluster
except ImportError:  # pragma: no cover - the README's test command installs them
    Client = None

import tessel.parallel
import tessel.shards
from programs import tessel_lookup


def keys_with_repeats(seed, count):
    """Sorted byte keys over a small alphabet, CR and bytes past 0x7f included, with runs of
    equal keys and the empty key."""
    rng = random.Random(seed)
    keys = [bytes(rng.choice(b"ab\r\xc3/z") for _ in range(rng.randrange(0, 10))) for _ in range(count)]
    keys += [keys[rng.randrange(count)] for _ in range(count // 10)]
    return sorted(keys)


def write_lines(path, keys):
    with open(path, "wb") as file:
        file.write(b"".join(key + b"\n" for key in keys))


def snapshot(directory):
    """Every file of a directory and its bytes."""
    found = {}
    for name in os.listdir(directory):
        with open(os.path.join(directory, name), "rb") as file:
            found[name] = file.read()
    return found


def listening_addresses(pid):
    """The addresses that process `pid` listens on (TCP), from /proc."""
    inodes = set()
    with contextlib.suppress(OSError):
        for fd in os.listdir(f"/proc/{pid}/fd"):
            with contextlib.suppress(OSError):
                link = os.readlink(f"/proc/{pid}/fd/{fd}")
                if link.startswith("socket:["):
                    inodes.add(link[8:-1])
    found = set()
    for table, width in (("tcp", 8), ("tcp6", 32)):
        with contextlib.suppress(OSError), open(f"/proc/{pid}/net/{table}") as file:
            for row in list(file)[1:]:
                fields = row.split()
                if fields[3] == "0A" and fields[9] in inodes:  # LISTEN
                    address = fields[1].split(":")[0]
                    if width == 8:
                        found.add(".".join(str(int(address[i:i + 2], 16)) for i in (6, 4, 2, 0)))
                    else:
                        found.add("::1" if address == "0" * 24 + "01000000" else address)
    return found


def first_lines(keys):
    found = {}
    for line, key in enumerate(keys):
        found.setdefault(key, line)
    return found


@unittest.skipIf(Client is None, "Dask (python3-dask, python3-distributed) is not installed")
class Clustered(unittest.TestCase):
    cluster = client = None

    @classmethod
    def setUpClass(cls):
        cls.cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                   host="127.0.0.1", dashboard_address=None, memory_limit=0)
        cls.client = Client(cls.cluster)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-shards-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def check_as_one_index(self, directory, expected):
        """Every query of the sharded index against a dict of key -> value."""
        keys = sorted(expected)
        with tessel.ShardedIndex(directory, binary=True) as index:
            index.verify()
            self.assertEqual(len(index), len(keys))
            self.assertEqual(list(index.items()), [(k, expected[k]) for k in keys])
            rng = random.Random(3)
            probes = keys + [k + b"a" for k in keys[::7]] + [k[:-1] for k in keys[::5] if k]
            self.assertEqual(index.get_many(probes), [expected.get(p, -1) for p in probes])
            for probe in probes[::11]:
                self.assertEqual(probe in index, probe in expected)
                prefixes = [probe[:n] for n in range(len(probe) + 1) if probe[:n] in expected]
                self.assertEqual(index.prefixes(probe), prefixes)
                self.assertEqual(index.prefix_values(probe), [expected[p] for p in prefixes])
                self.assertEqual(index.longest_prefix(probe, None), prefixes[-1] if prefixes else None)
                prefix = probe[:rng.randrange(0, 3)]
                below = [(k, expected[k]) for k in keys if k.startswith(prefix)]
                limit = rng.choice([None, 1, 7, 1000])
                self.assertEqual(index.predict(prefix, limit), below[:limit])
                self.assertEqual(len(index.keys(prefix)), len(below))
            for key in keys[::13]:
                self.assertEqual(index.restore_key(expected[key]), key)
            lookup = tessel_lookup()
            if lookup:
                single = self.path("one.idx")
                tessel.build(keys, single, [expected[k] for k in keys])
                queries = b"".join(p + b"\n" for p in probes if b"\n" not in p)
                for mode in ([], ["-p"], ["-P", "-m", "5"], ["-d"], ["-n"]):
                    answers = [subprocess.run([lookup, *mode, where], input=queries,
                                              capture_output=True, check=False).stdout
                               for where in (directory, single)]
                    self.assertEqual(answers[0], answers[1], mode)

    def test_sorted_files_in_many_shards_answer_as_one_index(self):
        keys = keys_with_repeats(1, 3000)
        write_lines(self.path("a.txt"), keys[:1700])
        # The second file goes on with the first one's last key: that run stays in one shard.
        write_lines(self.path("b.txt"), [keys[1699]] * 3 + keys[1700:])
        lines = keys[:1700] + [keys[1699]] * 3 + keys[1700:]
        tessel.shards.build([self.path("a.txt"), self.path("b.txt")], self.path("index"),
                            shard_keys=200, client=self.client)
        with tessel.ShardedIndex(self.path("index")) as index:
            self.assertGreater(len(index.shards), 10)
        self.check_as_one_index(self.path("index"), first_lines(lines))
        # Paths as bytes, as the os module takes them.
        tessel.shards.build([os.fsencode(self.path("a.txt"))], os.fsencode(self.path("bytes")),
                            client=self.client)
        self.check_as_one_index(self.path("bytes"), first_lines(keys[:1700]))

    def test_unsorted_files_bags_and_dataframe_columns(self):
        keys = keys_with_repeats(2, 2500)
        shuffled = list(keys)
        random.Random(4).shuffle(shuffled)
        distinct = sorted(set(keys))
        ranks = {key: rank for rank, key in enumerate(distinct)}
        write_lines(self.path("unsorted.txt"), shuffled)
        tessel.shards.build(self.path("unsorted.txt"), self.path("files"), unsorted=True,
                            shard_keys=300, client=self.client)
        self.check_as_one_index(self.path("files"), ranks)
        # Keys with newlines and NUL bytes come whole from a bag.
        odd = [key + b"\n\0" for key in shuffled]
        tessel.shards.build(dask.bag.from_sequence(odd, npartitions=5), self.path("bag"),
                            shard_keys=400, client=self.client)
        self.check_as_one_index(self.path("bag"),
                                {key: rank for rank, key in enumerate(sorted(set(odd)))})
        text = [key.decode("utf-8", "surrogateescape") for key in shuffled]
        column = dask.dataframe.from_pandas(pandas.DataFrame({"key": text}), npartitions=4)["key"]
        tessel.shards.build(column, self.path("frame"), shard_keys=500, client=self.client)
        self.check_as_one_index(self.path("frame"), ranks)
        # A whole dataframe, whose iteration gives its column names, or a missing value.
        frame = dask.dataframe.from_pandas(pandas.DataFrame({"key": ["a", None]}), npartitions=1)
        for wrong in (frame, frame["key"], dask.bag.from_sequence([b"a", 1])):
            with self.assertRaises(TypeError):
                tessel.shards.build(wrong, self.path("wrong"), client=self.client)
            self.assertFalse(os.path.exists(os.path.join(self.path("wrong"), "MANIFEST")))

    def test_weights_beside_keys_of_every_kind(self):
        """Weight files beside sorted and unsorted key files, weights of a bag or column:
        each shard's companion, top() as a plain reading, and a rebuild that keeps none."""
        keys = keys_with_repeats(7, 2000)
        rng = random.Random(8)
        weights = [rng.choice([0, 1, 7, 2**32 - 1, rng.randrange(2**32)]) for _ in keys]
        heaviest = {}
        for key, weight in zip(keys, weights):
            heaviest[key] = max(heaviest.get(key, 0), weight)

        def check(directory, values):
            with tessel.ShardedIndex(directory, binary=True) as index:
                index.verify()
                self.assertGreater(len(index.shards), 3)
                for prefix in (b"", b"a", b"\xc3", b"ab", b"/z", b"q"):
                    below = sorted((k for k in heaviest if k.startswith(prefix)),
                                   key=lambda k: (-heaviest[k], k))[:6]
                    self.assertEqual(index.top(prefix, 6),
                                     [(k, values[k], heaviest[k]) for k in below], prefix)
            names = os.listdir(directory)
            self.assertEqual(sum(n.endswith(".idx.weights") for n in names),
                             sum(n.endswith(".idx") for n in names), names)

        # Sorted: the files cut apart from the weight files' cut.
        write_lines(self.path("a.txt"), keys[:1100])
        write_lines(self.path("b.txt"), keys[1100:])
        for name, part in (("w1", weights[:700]), ("w2", []), ("w3", weights[700:])):
            with open(self.path(name), "w", encoding="ascii") as file:
                file.writelines(f"{w}\n" for w in part[:-1])
                file.write(f"{part[-1]}" if part else "")  # no newline at the end
        tessel.shards.build([self.path("a.txt"), self.path("b.txt")], self.path("sorted"),
                            weights=[self.path(n) for n in ("w1", "w2", "w3")], shard_keys=300,
                            client=self.client)
        check(self.path("sorted"), first_lines(keys))
        # Unsorted, in pieces of a few hundred bytes.
        order = list(range(len(keys)))
        random.Random(9).shuffle(order)
        write_lines(self.path("u.txt"), [keys[i] for i in order])
        with open(self.path("uw"), "w", encoding="ascii") as file:
            file.writelines(f"{weights[i]}\n" for i in order)
        ranks = {key: rank for rank, key in enumerate(sorted(heaviest))}
        piece = tessel.shards._PIECE_BYTES  # pylint: disable=protected-access
        try:
            tessel.shards._PIECE_BYTES = 700  # pylint: disable=protected-access
            tessel.shards.build(self.path("u.txt"), self.path("unsorted"), unsorted=True,
                                weights=self.path("uw"), shard_keys=300, client=self.client)
        finally:
            tessel.shards._PIECE_BYTES = piece  # pylint: disable=protected-access
        check(self.path("unsorted"), ranks)
        # A bag, and columns of one dataframe.
        shuffled = [keys[i] for i in order]
        tessel.shards.build(dask.bag.from_sequence(shuffled, npartitions=4), self.path("bag"),
                            weights=dask.bag.from_sequence([weights[i] for i in order],
                                                           npartitions=4),
                            shard_keys=300, client=self.client)
        check(self.path("bag"), ranks)
        frame = dask.dataframe.from_pandas(pandas.DataFrame(
            {"key": [k.decode("utf-8", "surrogateescape") for k in shuffled],
             "weight": [weights[i] for i in order]}), npartitions=3)
        tessel.shards.build(frame["key"], self.path("frame"), weights=frame["weight"],
                            shard_keys=300, client=self.client)
        check(self.path("frame"), ranks)

        # Weights that are not the keys': the directory stays as it was.
        before = snapshot(self.path("sorted"))
        with open(self.path("bad"), "w", encoding="ascii") as file:
            file.writelines(["1\n"] * 5 + ["-3\n"] + ["1\n"] * (len(keys) - 6))
        wrong = [(self.path("bad"), "bad: line 6: not a weight"),
                 (self.path("w1"), f"w1: 700 weight lines for {len(keys)} key lines")]
        for weight_file, message in wrong:
            with self.assertRaisesRegex(ValueError, message):
                tessel.shards.build([self.path("a.txt"), self.path("b.txt")],
                                    self.path("sorted"), weights=weight_file, shard_keys=300,
                                    client=self.client)
            self.assertEqual(snapshot(self.path("sorted")), before)
        with self.assertRaisesRegex(ValueError, "partitions"):
            tessel.shards.build(dask.bag.from_sequence(keys, npartitions=4), self.path("x"),
                                weights=dask.bag.from_sequence(weights, npartitions=2),
                                client=self.client)
        for wrong in (frame["weight"], [1, 2]):
            with self.assertRaises(TypeError):
                tessel.shards.build(self.path("a.txt"), self.path("x"), weights=wrong,
                                    client=self.client)
        # Rebuilt without weights: no companion stays, of either generation.
        tessel.shards.build([self.path("a.txt"), self.path("b.txt")], self.path("sorted"),
                            shard_keys=300, client=self.client)
        self.assertFalse([n for n in os.listdir(self.path("sorted")) if "weights" in n])
        with tessel.ShardedIndex(self.path("sorted")) as index, \
                self.assertRaises(FileNotFoundError):
            index.top("a")

    def test_keys_out_of_order_are_told_by_file_and_line_and_change_nothing(self):
        write_lines(self.path("good.txt"), [b"a", b"b"])
        tessel.shards.build(self.path("good.txt"), self.path("index"), client=self.client)
        before = snapshot(self.path("index"))
        keys = [b"k%05d" % n for n in range(2000)]
        keys[1500], keys[1501] = keys[1501], keys[1500]
        write_lines(self.path("first.txt"), keys[:1000])
        write_lines(self.path("second.txt"), keys[1000:])
        with self.assertRaises(tessel.shards.OrderError) as raised:
            tessel.shards.build([self.path("first.txt"), self.path("second.txt")],
                                self.path("index"), shard_keys=150, client=self.client)
        self.assertEqual((raised.exception.path, raised.exception.line),
                         (self.path("second.txt"), 502))
        # One file given twice: the second copy's first line is where the order breaks.
        with self.assertRaises(tessel.shards.OrderError) as raised:
            tessel.shards.build([self.path("first.txt")] * 2, self.path("index"), shard_keys=150,
                                client=self.client)
        self.assertEqual((raised.exception.path, raised.exception.line), (self.path("first.txt"), 1))
        after = snapshot(self.path("index"))
        self.assertEqual(after, before)

    def test_a_rebuild_leaves_a_live_reader_its_generation(self):
        write_lines(self.path("old.txt"), [b"old%04d" % n for n in range(1000)])
        write_lines(self.path("new.txt"), [b"new%04d" % n for n in range(1000)])
        tessel.shards.build(self.path("old.txt"), self.path("index"), shard_keys=100,
                            client=self.client)
        reader = tessel.ShardedIndex(self.path("index"))
        old_files = set(os.listdir(self.path("index")))
        tessel.shards.build(self.path("new.txt"), self.path("index"), shard_keys=100,
                            client=self.client)
        left = set(os.listdir(self.path("index")))
        self.assertFalse(old_files & left - {"MANIFEST"})
        self.assertEqual(len(left), 1 + 10)
        self.assertEqual(reader["old0999"], 999)
        self.assertEqual(sum(1 for _ in reader), 1000)
        with tessel.ShardedIndex(self.path("index")) as fresh:
            self.assertNotIn("old0001", fresh)
            self.assertEqual(fresh["new0500"], 500)
        reader.close()

    @staticmethod
    def write(path, data):
        with open(path, "wb") as file:
            file.write(data)

    def test_damaged_and_hostile_manifests(self):
        write_lines(self.path("keys.txt"), [b"key%04d" % n for n in range(600)])
        tessel.shards.build(self.path("keys.txt"), self.path("index"), shard_keys=200,
                            client=self.client)
        manifest = self.path("index/MANIFEST")
        with open(manifest, "rb") as file:
            good = file.read()
        name = good.split(b"file=")[1].split(b" ")[0]
        for hostile in (b"../keys.txt", b"/etc/passwd", b"..", b"a/b"):
            self.write(manifest, good.replace(b"file=" + name, b"file=" + hostile))
            with self.assertRaisesRegex(ValueError, "Bad Manifest"):
                tessel.ShardedIndex(self.path("index"))
        self.write(manifest, good.replace(b"file=" + name, b"file=gone.idx"))
        with self.assertRaises(FileNotFoundError):
            tessel.ShardedIndex(self.path("index"))
        self.write(manifest, good[: len(good) // 2])
        with self.assertRaisesRegex(ValueError, "Bad Manifest"):
            tessel.ShardedIndex(self.path("index"))
        crc = good.split(b"crc32c=")[1][:8]
        self.write(manifest, good.replace(crc, b"%08x" % (int(crc, 16) ^ 1)))
        with tessel.ShardedIndex(self.path("index")) as index:
            with self.assertRaisesRegex(ValueError, "Corrupt Index"):
                index.verify()
        os.remove(manifest)
        with self.assertRaisesRegex(ValueError, "Not an Index"):
            tessel.ShardedIndex(self.path("index"))

    def test_texts_scanned_and_keys_looked_up_on_the_workers(self):
        keys = sorted({b"%x" % (n * 7919 % 20000) for n in range(5000)})
        write_lines(self.path("keys.txt"), keys)
        tessel.build(keys, self.path("one.idx"))
        tessel.shards.build(self.path("keys.txt"), self.path("sharded"), shard_keys=1000,
                            client=self.client)
        rng = random.Random(8)
        texts = [" ".join("%x" % rng.randrange(30000) for _ in range(rng.randrange(0, 50)))
                 for _ in range(300)]
        queries = ["%x" % rng.randrange(30000) for _ in range(3000)]
        with tessel.Index(self.path("one.idx")) as one:
            # Each option reaches the workers: capitals match only ignoring case, and "-"
            # joins two keys into one word.
            texts[:10] = [text.upper().replace(" ", "-", 1) for text in texts[:10]]
            queries[:100] = [query.upper() for query in queries[:100]]
            for where in ("one.idx", "sharded"):
                for options in ({}, {"longest": True, "words": True},
                                {"longest": True, "words": True, "word_chars": "-",
                                 "ignore_case": True}):
                    expected = [one.findall(text, **options) for text in texts]
                    bag = dask.bag.from_sequence(texts, npartitions=7)
                    found = tessel.parallel.findall(bag, self.path(where), **options)
                    self.assertEqual(self.client.compute(found).result(), expected)
                    column = dask.dataframe.from_pandas(pandas.DataFrame({"text": texts}),
                                                        npartitions=5)["text"]
                    series = self.client.compute(tessel.parallel.findall(
                        column, self.path(where), **options)).result()
                    self.assertEqual(series.tolist(), expected)
                    self.assertEqual(list(series.index), list(range(len(texts))))
                for ignore_case in (False, True):
                    expected = one.get_many(queries, ignore_case=ignore_case)
                    values = self.client.compute(tessel.parallel.get_many(
                        dask.bag.from_sequence(queries, npartitions=4), self.path(where),
                        ignore_case=ignore_case)).result()
                    self.assertEqual(values, expected)
                    column = dask.dataframe.from_pandas(pandas.DataFrame({"key": queries}),
                                                        npartitions=3)["key"]
                    self.assertEqual(self.client.compute(tessel.parallel.get_many(
                        column, self.path(where), ignore_case=ignore_case)).result().tolist(),
                        expected)
            self.assertNotEqual(one.get_many(queries[:100], ignore_case=True),
                                one.get_many(queries[:100]))
        # Each worker opened each index once; a replaced one is opened again.
        opened = self.client.run(lambda: sorted(tessel.parallel._opened))  # pylint: disable=protected-access
        for paths in opened.values():
            self.assertLessEqual(set(paths), {self.path("one.idx"), self.path("sharded")})
        tessel.build([b"zzz"], self.path("one.idx"))
        bag = dask.bag.from_sequence(["a zzz"], npartitions=1)
        self.assertEqual(self.client.compute(tessel.parallel.findall(
            bag, self.path("one.idx"))).result(), [[(2, 5, 0)]])
        with self.assertRaises(FileNotFoundError):
            tessel.parallel.findall(bag, self.path("missing.idx"))

    def test_a_killed_worker_is_replaced_and_the_result_is_the_same(self):
        keys = [b"%08d/%s" % (n, b"x" * (n % 30)) for n in range(400_000)]
        write_lines(self.path("keys.txt"), keys)
        tessel.shards.build(self.path("keys.txt"), self.path("calm"), shard_keys=25_000,
                            client=self.client)
        pids = list(self.client.run(os.getpid).values())
        killed = []

        def kill_one():
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and not killed:
                if any(self.client.processing().values()):
                    os.kill(pids[0], signal.SIGKILL)
                    killed.append(pids[0])
                time.sleep(0.005)

        killer = threading.Thread(target=kill_one)
        killer.start()
        tessel.shards.build(self.path("keys.txt"), self.path("killed"), shard_keys=25_000,
                            client=self.client)
        killer.join()
        self.assertEqual(len(killed), 1)
        self.client.wait_for_workers(2, timeout=60)

        def entries(directory):
            with tessel.ShardedIndex(directory) as index:
                return [{k: v for k, v in entry.items() if k != "file"} for entry in index.shards]

        self.assertEqual(entries(self.path("killed")), entries(self.path("calm")))
        self.assertFalse([name for name in os.listdir(self.path("killed")) if name.endswith(".tmp")])


@unittest.skipIf(Client is None, "Dask (python3-dask, python3-distributed) is not installed")
class CommandLine(unittest.TestCase):
    """python3 -m tessel.shards as an operator runs it: on its own threads, or on a cluster
    started with dask-scheduler and dask-worker."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-shards-")
        self.keys = os.path.join(self.dir, "keys.txt")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_build(self, *arguments, **options):
        return subprocess.run([sys.executable, "-m", "tessel.shards", "build", *arguments],
                              capture_output=True, text=True, check=False, timeout=300, **options)

    def test_inputs_that_cannot_be_read_at_offsets_fail_before_any_work(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)  # with no writer: opening it would wait forever
        index = os.path.join(self.dir, "index")
        for source, message in ((fifo, "not a regular file"), (self.dir, "Is a directory"),
                                (os.path.join(self.dir, "missing"), "No such file")):
            done = self.run_build(source, index)
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertIn(message, done.stderr)
            self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
            self.assertFalse(os.path.exists(index))  # nothing made for a build that cannot run
        write_lines(self.keys, [b"a"])
        for option, value in (("--workers", "0"), ("--shard-keys", "0"), ("--workers", "-2"),
                              ("--shard-keys", "-1")):
            done = self.run_build(option, value, self.keys, index)
            self.assertEqual((done.returncode, len(done.stderr.splitlines())), (2, 1), done.stderr)
            self.assertIn("must be positive", done.stderr)
            self.assertFalse(os.path.exists(index))

    def test_an_interrupted_build_leaves_the_directory_as_it_was(self):
        write_lines(self.keys, [b"old"])
        index = os.path.join(self.dir, "index")
        os.mkdir(index)
        write_lines(os.path.join(index, "shard-mine.idx"), [b"a user's own file"])
        done = self.run_build("--workers", "2", self.keys, index)
        self.assertEqual((done.returncode, done.stdout), (0, "1 key in 1 shard\n"), done.stderr)
        before = snapshot(index)
        self.assertIn("shard-mine.idx", before)
        write_lines(self.keys, [b"%09d" % n for n in range(3_000_000)])
        child = subprocess.Popen([sys.executable, "-m", "tessel.shards", "build", "--workers",
                                  "2", "--shard-keys", "300000", self.keys, index],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            # Interrupted once its shards are being built.
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline and not any(
                    name.endswith(".tmp") for name in os.listdir(index)):
                time.sleep(0.01)
            child.send_signal(signal.SIGINT)
            _, errors = child.communicate(timeout=120)
        finally:
            child.kill()
        self.assertEqual(child.returncode, 130, errors)
        after = snapshot(index)
        self.assertEqual(after, before)

    def test_an_interpreter_that_ends_does_not_wait_for_a_build_in_a_daemon_thread(self):
        write_lines(self.keys, [b"%09d" % n for n in range(3_000_000)])
        index = os.path.join(self.dir, "index")
        script = """if 1:
            import os, sys, threading, time, tessel.shards
            keys, index = sys.argv[1:]
            threading.Thread(target=tessel.shards.build, args=(keys, index), daemon=True,
                             kwargs={"workers": 2, "shard_keys": 300_000}).start()
            while not (os.path.isdir(index) and
                       any(name.endswith(".tmp") for name in os.listdir(index))):
                time.sleep(0.005)
            """
        done = subprocess.run([sys.executable, "-c", script, self.keys, index],
                              capture_output=True, text=True, timeout=300, check=False)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        # Ended with the shards being built: not all of them, and no temporary file left.
        names = os.listdir(index)
        self.assertLess(len([name for name in names if name.startswith("shard-")]), 10, names)
        self.assertEqual([name for name in names if name.endswith(".tmp")], [])
        # The next build removes what was left.
        done = self.run_build("--shard-keys", "1000000", self.keys, index)
        self.assertEqual((done.returncode, done.stdout), (0, "3000000 keys in 3 shards\n"),
                         done.stderr)
        with tessel.Index(index) as built:
            self.assertEqual(sorted(os.listdir(index)),
                             sorted(["MANIFEST"] + [shard["file"] for shard in built.shards]))

    def test_a_full_disk_fails_in_one_line_and_keeps_the_previous_index(self):
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("a full disk needs root to mount a small tmpfs (as CI runs the tests)")
        keys = [b"https://www.example.com/items/%09d/page.html" % n for n in range(900_000)]
        write_lines(os.path.join(self.dir, "small.txt"), keys[:90_000:3])
        write_lines(os.path.join(self.dir, "big.txt"), keys)
        disk = os.path.join(self.dir, "disk")
        os.mkdir(disk)
        # In a mount namespace of its own, so that the tmpfs goes with it whatever happens.
        inside = """if 1:
            import json, os, subprocess, sys
            directory, disk = sys.argv[1:3]
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=20m", "tmpfs", disk], check=True)
            index = os.path.join(disk, "index")
            def build(keys):
                done = subprocess.run([sys.executable, "-m", "tessel.shards", "build", "--workers",
                                       "2", "--shard-keys", "100000",
                                       os.path.join(directory, keys), index],
                                      capture_output=True, text=True, check=False)
                return [done.returncode, done.stdout, done.stderr]
            def files():
                return {name: os.path.getsize(os.path.join(index, name))
                        for name in os.listdir(index)}
            small = build("small.txt")
            before = files()
            big = build("big.txt")
            print(json.dumps([small, before, big, files()]))
            """
        done = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable,
                               "-c", inside, self.dir, disk], capture_output=True, text=True,
                              timeout=300, check=False)
        if done.returncode != 0 and "unshare" in done.stderr:
            self.skipTest(f"no mount namespace here: {done.stderr.strip()}")
        self.assertEqual(done.returncode, 0, done.stderr)
        small, before, big, after = json.loads(done.stdout)
        self.assertEqual(small[:2], [0, "30000 keys in 1 shard\n"], small[2])
        self.assertEqual(big[0], 1, big)
        self.assertEqual(big[1], "")
        self.assertEqual(len(big[2].splitlines()), 1, big[2])
        self.assertIn("No space left on device", big[2])
        self.assertIn(os.path.join(disk, "index"), big[2])
        self.assertEqual(after, before)

    def test_ctrl_c_once_the_manifest_is_renamed_waits_and_the_build_succeeds(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        index = os.path.join(self.dir, "index")
        write_lines(self.keys, [b"old%04d" % n for n in range(3000)])
        self.assertEqual(self.run_build("--shard-keys", "1000", self.keys, index).returncode, 0)
        write_lines(self.keys, [b"new%04d" % n for n in range(3000)])
        # The driver's rename of the manifest (the workers are not traced) returns 3 s late.
        child = subprocess.Popen(
            ["strace", "-o", os.devnull, "-e", "trace=renameat,rename,renameat2",
             "-e", "inject=renameat,rename,renameat2:delay_exit=3000000", sys.executable, "-m",
             "tessel.shards", "build", "--workers", "2", "--shard-keys", "1000", self.keys,
             index], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline:
                with open(os.path.join(index, "MANIFEST"), "rb") as file:
                    if b"file=shard-" in file.read() and self.generation(index) != \
                            self.old_generation(index):
                        break
                time.sleep(0.01)
            # strace's child: the driver.
            driver = int(subprocess.run(["pgrep", "-P", str(child.pid)], capture_output=True,
                                        text=True, check=False).stdout.split()[0])
            os.kill(driver, signal.SIGINT)
            out, errors = child.communicate(timeout=120)
        finally:
            child.kill()
        self.assertEqual((child.returncode, out, errors), (0, "3000 keys in 3 shards\n", ""))
        with tessel.ShardedIndex(index) as fresh:
            fresh.verify()
            self.assertEqual(fresh["new2999"], 2999)
            self.assertEqual(sorted(os.listdir(index)),
                             sorted(["MANIFEST"] + [shard["file"] for shard in fresh.shards]))

    @staticmethod
    def generation(index):
        with open(os.path.join(index, "MANIFEST"), "rb") as file:
            return file.read().split(b"\n")[1]

    def old_generation(self, index):
        if not hasattr(self, "first_generation"):
            self.first_generation = self.generation(index)
        return self.first_generation

    def test_many_shards_under_a_low_file_limit(self):
        write_lines(self.keys, [b"k%06d" % n for n in range(1500)])
        index = os.path.join(self.dir, "index")
        limit = "import resource, runpy, sys; resource.setrlimit(resource.RLIMIT_NOFILE, (256, " \
                "resource.getrlimit(resource.RLIMIT_NOFILE)[1])); sys.argv[0] = 'tessel.shards'; " \
                "runpy.run_module('tessel.shards', run_name='__main__')"
        done = subprocess.run([sys.executable, "-c", limit, "build", "--workers", "2",
                               "--shard-keys", "2", self.keys, index], capture_output=True,
                              text=True, timeout=600, check=False)
        self.assertEqual((done.returncode, done.stdout), (0, "1500 keys in 750 shards\n"),
                         done.stderr[-2000:])
        lookup = tessel_lookup()
        if lookup:
            checked = subprocess.run(f"ulimit -n 64 && {lookup} -v {index} && "
                                     f"{lookup} -c {self.keys} {index}", shell=True,
                                     capture_output=True, text=True, check=False)
            self.assertEqual(checked.stdout, "750 shards verified\n1500 keys checked\n",
                             checked.stderr)

    def test_local_workers_keep_to_loopback_and_to_one_line(self):
        write_lines(self.keys, [b"%06d" % n for n in range(300_000)])
        index = os.path.join(self.dir, "index")
        # Key files are built by threads of the process, which listens on nothing; a bag by a
        # local cluster, which listens on loopback only.
        bag = "import sys, dask.bag, tessel.shards; tessel.shards.build(dask.bag.from_sequence(" \
              "[b'%d' % n for n in range(3000)], npartitions=2), sys.argv[1], workers=2)"
        # Dask's usual dashboard port taken: nothing to warn about, as none is asked for.
        with socket.socket() as taken:
            with contextlib.suppress(OSError):
                taken.bind(("127.0.0.1", 8787))
                taken.listen()
            for command, cluster in (
                    (["-m", "tessel.shards", "build", "--workers", "2", self.keys, index], False),
                    (["-c", bag, os.path.join(self.dir, "bag")], True)):
                child = subprocess.Popen([sys.executable] + command, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True)
                listening = set()
                while child.poll() is None:
                    listening |= listening_addresses(child.pid)
                    time.sleep(0.05)
                _, errors = child.communicate()
                self.assertEqual((child.returncode, errors), (0, ""), command)
                self.assertEqual(bool(listening), cluster, listening)
                self.assertEqual({address for address in listening
                                  if not address.startswith("127.")}, set())
        with tessel.Index(index) as built:
            self.assertEqual(len(built), 300_000)
        # Ctrl-C from a terminal reaches the whole process group, workers too, while the
        # cluster starts and while it builds: one line, whenever it comes.
        for delay in (0.2, 1.0, 1.6):
            child = subprocess.Popen([sys.executable, "-m", "tessel.shards", "build", "--workers",
                                      "2", self.keys, os.path.join(self.dir, f"cut{delay}")],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     start_new_session=True)
            time.sleep(delay)
            os.killpg(child.pid, signal.SIGINT)
            out, errors = child.communicate(timeout=120)
            if child.returncode == 0:
                continue  # built before the signal came
            self.assertEqual((child.returncode, errors),
                             (130, "tessel.shards: interrupted; the directory is as it was\n"))

    def test_the_command_line_names_what_is_wrong(self):
        write_lines(self.keys, [b"a"])
        index = os.path.join(self.dir, "index")
        for arguments, message in (
                (["-", index], "-: key files are read at offsets"),
                ([self.keys, self.keys], f"{self.keys}: Not a directory")):
            done = self.run_build(*arguments)
            self.assertEqual((done.returncode, done.stdout), (1, ""), arguments)
            self.assertEqual(done.stderr, f"tessel.shards: {done.stderr[15:]}")
            self.assertIn(message, done.stderr)
            self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
        keys = [b"%05d" % n for n in range(3000)]
        random.Random(1).shuffle(keys)
        write_lines(self.keys, keys)
        done = self.run_build("--workers", "2", "--unsorted", self.keys, index)
        self.assertEqual((done.returncode, done.stdout), (0, "3000 keys in 1 shard\n"), done.stderr)
        # Weights read by a worker: a bad line is told in one line, the index kept.
        weights = os.path.join(self.dir, "weights.txt")
        with open(weights, "w", encoding="ascii") as file:
            file.writelines(["1\n"] * 2999 + ["heavy\n"])
        before = snapshot(index)
        done = self.run_build("--workers", "1", "--unsorted", "--weights", weights, self.keys,
                              index)
        self.assertEqual((done.returncode, done.stderr),
                         (1, f"tessel.shards: {weights}: line 3000: not a weight from 0 to "
                             "4294967295\n"))
        self.assertEqual(snapshot(index), before)
        # A full output loses only the summary: one line, and the index stands.
        with open(os.devnull if not os.path.exists("/dev/full") else "/dev/full", "w") as full:
            done = subprocess.run([sys.executable, "-m", "tessel.shards", "build", "--unsorted",
                                   self.keys, index], stdout=full, stderr=subprocess.PIPE,
                                  text=True, timeout=300, check=False)
        if full.name == "/dev/full":
            self.assertEqual((done.returncode, done.stderr),
                             (1, "tessel.shards: standard output: No space left on device (the "
                                 "index was built)\n"))
        with tessel.Index(index) as built:
            self.assertEqual(len(built), 3000)
        helped = self.run_build("--help")
        for words in ("KEYS are key files", "DIRECTORY", "sorted", "--unsorted", "exit status",
                      "130", "--weights"):
            self.assertIn(words, helped.stdout)

    def test_a_cluster_started_by_an_operator(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        address = f"tcp://127.0.0.1:{port}"
        # The workers import the tessel package this test runs, wherever it is installed.
        environment = dict(os.environ)
        environment["PYTHONPATH"] = os.pathsep.join(
            [os.path.dirname(os.path.dirname(tessel.__file__)),
             environment.get("PYTHONPATH", "")])
        started = []
        try:
            started.append(subprocess.Popen(
                ["dask-scheduler", "--host", "127.0.0.1", "--port", str(port), "--no-dashboard"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            for _ in range(2):
                started.append(subprocess.Popen(
                    ["dask-worker", address, "--nworkers", "1", "--nthreads", "1",
                     "--no-dashboard", "--memory-limit", "0"],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=environment))
            with Client(address, timeout=60) as client:
                client.wait_for_workers(2, timeout=60)
            keys = keys_with_repeats(5, 4000)
            shuffled = list(keys)
            random.Random(6).shuffle(shuffled)
            write_lines(self.keys, shuffled)
            index = os.path.join(self.dir, "index")
            done = self.run_build("--scheduler", address, "--unsorted", "--shard-keys", "500",
                                  self.keys, index)
            self.assertEqual(done.returncode, 0, done.stderr)
            distinct = sorted(set(keys))
            with tessel.ShardedIndex(index, binary=True) as sharded:
                self.assertEqual(list(sharded.items()), [(k, n) for n, k in enumerate(distinct)])
                self.assertGreater(len(sharded.shards), 3)
        finally:
            for process in reversed(started):
                process.terminate()
            for process in started:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    process.wait(30)
                process.kill()


if __name__ == "__main__":
    unittest.main()
