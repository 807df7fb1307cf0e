#!/usr/bin/env python3
"""Random key lists, each built as one index file and as shards of a few keys, and every call
asked of each front: Python on the file, Python on the shards, tessel-lookup on both. The
answers must be alike, and the file's must be those of a plain reading where one is short to
write. A finding prints the seed, the call and both answers; the run ends with their count.

Usage (a build of the release preset; a local Dask cluster of one worker is started):
    PYTHONPATH=build/release/python /usr/bin/python3 fuzz/fronts.py [FIRST [END]]
Seeds FIRST up to END (0 and 20 by default) give the same key lists on every machine.
"""

import itertools
import os
import random
import shutil
import subprocess
import sys
import tempfile

import tessel
import tessel.shards

BIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "release")
# Letters whose case folds across lengths and scripts (K and the Kelvin sign, long s, final
# sigma, dotted I), separators, and a byte that is no UTF-8.
PIECES = ["a", "b", "A", "B", "k", "K", "\u212a", "\u00df", "ss", "\u00e9", "\u00c9", "-", " ", "x",
          "\u0130", "i", "I", "\u03c3", "\u03a3", "\u03c2", "\ufb00", "1", "_", "\t"]


def word(rng, longest):
    text = "".join(rng.choice(PIECES) for _ in range(rng.randrange(0, longest))).encode()
    return text + b"\xff" if rng.random() < 0.05 else text


def lookup(options, index, lines):
    """tessel-lookup's output lines for `lines` of standard input."""
    done = subprocess.run([os.path.join(BIN, "tessel-lookup")] + options + [index],
                          input=b"".join(line + b"\n" for line in lines), capture_output=True,
                          check=False)
    if done.returncode not in (0, 1):
        raise RuntimeError(f"tessel-lookup {' '.join(options)}: {done.stderr!r}")
    return done.stdout.split(b"\n")[:-1]


def counted(head, rows):
    """-p, -P and -t's shape: the number and the query, then one line a row."""
    return [b"%d\t%s" % (len(rows), head)] + [b"\t".join(b"%d" % f if isinstance(f, int) else f
                                                         for f in row) for row in rows]


class Round:
    def __init__(self, seed, client):
        self.seed = seed
        self.rng = random.Random(seed)
        self.findings = 0
        rng = self.rng
        self.keys = sorted({k for k in (word(rng, 6) for _ in range(rng.randrange(1, 60))) if k})
        self.weights = [rng.randrange(5) for _ in self.keys]
        self.dir = tempfile.mkdtemp(prefix="tessel-fronts-")
        listed, weighed = self.path("keys.txt"), self.path("weights.txt")
        with open(listed, "wb") as file:
            file.writelines(key + b"\n" for key in self.keys)
        with open(weighed, "w", encoding="ascii") as file:
            file.writelines(f"{w}\n" for w in self.weights)
        tessel.build(self.keys, self.path("one.idx"), weights=self.weights)
        tessel.shards.build(listed, self.path("shards"), shard_keys=rng.randrange(1, 8),
                            weights=weighed, client=client)
        self.queries = self.keys + [word(rng, 7) for _ in range(60)]
        self.texts = [b" ".join(rng.choice(self.queries) for _ in range(rng.randrange(6)))
                      for _ in range(30)]

    def path(self, name):
        return os.path.join(self.dir, name)

    def same(self, call, first, second):
        if first != second:
            self.findings += 1
            if self.findings <= 5:
                print(f"seed {self.seed}: {call}\n  {first!r}\n  {second!r}")

    def python(self, one, sharded):
        """Each Python call on the shards against the file, and the file against plain
        readings of exact matches, predictions, rankings and findall()."""
        rng = self.rng
        value = {key: n for n, key in enumerate(self.keys)}
        self.same("items", list(one.items()), list(sharded.items()))
        for q in self.queries:
            for fold in (False, True):
                limit, n = rng.randrange(4), rng.randrange(1, 6)
                for name, call in (("get_many", lambda i: i.get_many([q], ignore_case=fold)),
                                   ("prefix_items", lambda i: i.prefix_items(q, ignore_case=fold)),
                                   ("predict", lambda i: i.predict(q, ignore_case=fold)),
                                   ("predict limit", lambda i: i.predict(q, limit, ignore_case=fold)),
                                   ("top", lambda i: i.top(q, n, ignore_case=fold))):
                    self.same((name, q, fold, limit, n), call(one), call(sharded))
            for name, call in (("longest_prefix", lambda i: i.longest_prefix(q, None)),
                               ("keys", lambda i: list(i.keys(q))),
                               ("reversed keys", lambda i: list(reversed(i.keys(q)))),
                               ("has_keys_with_prefix", lambda i: i.has_keys_with_prefix(q))):
                self.same((name, q), call(one), call(sharded))
            self.same(("get, plain", q), one.get(q), value.get(q))
            below = [key for key in self.keys if key.startswith(q)]
            self.same(("predict, plain", q), one.predict(q), [(k, value[k]) for k in below])
            ranked = sorted(below, key=lambda k: -self.weights[value[k]])[:3]
            self.same(("top, plain", q), one.top(q, 3),
                      [(k, value[k], self.weights[value[k]]) for k in ranked])
        for text in self.texts:
            for longest, words, fold in itertools.product((False, True), repeat=3):
                chars = rng.choice(["", "-", "\u00df"])
                options = {"longest": longest, "words": words, "ignore_case": fold,
                           "word_chars": chars}
                for given in (text, text.decode(errors="surrogateescape")):
                    found = one.findall(given, **options)
                    self.same(("findall", given, options), found, sharded.findall(given, **options))
                    self.same(("finditer", given, options), found,
                              list(sharded.finditer(given, **options)))
            plain = [(i, j, value[text[i:j]]) for i in range(len(text))
                     for j in range(i + 1, len(text) + 1) if text[i:j] in value]
            self.same(("findall, plain", text), one.findall(text), plain)
            for fold in (False, True):
                self.same(("sub", text, fold), one.sub(b"<>", text, ignore_case=fold),
                          sharded.sub(b"<>", text, ignore_case=fold))
        for v in range(len(self.keys)):
            self.same(("restore_key", v), one.restore_key(v), sharded.restore_key(v))

    def program(self, index, ix):
        """tessel-lookup's answers on `index` against those of ix, Python's Index of it."""
        rng, queries, path = self.rng, self.queries, self.path(index)
        self.same(("exact", index), lookup([], path, queries),
                  [b"%d\t%s" % (ix.get(q, -1), q) for q in queries])
        self.same(("exact -i", index), lookup(["-i"], path, queries),
                  [b"%d\t%s" % (v, q) for v, q in zip(ix.get_many(queries, ignore_case=True),
                                                      queries)])
        for fold in (False, True):
            flag = ["-i"] if fold else []
            self.same(("-p", index, fold), lookup(["-p"] + flag, path, queries), [
                line for q in queries
                for line in counted(q, [(v, k) for k, v in ix.prefix_items(q, ignore_case=fold)])])
            limit, n = rng.randrange(1, 4), rng.randrange(1, 5)
            self.same(("-P -m", index, fold, limit),
                      lookup(["-P", "-m", str(limit)] + flag, path, queries), [
                          line for q in queries for line in
                          counted(q, [(v, k) for k, v in ix.predict(q, limit, ignore_case=fold)])])
            self.same(("-t", index, fold, n), lookup(["-t", str(n)] + flag, path, queries), [
                line for q in queries for line in
                counted(q, [(v, w, k) for k, v, w in ix.top(q, n, ignore_case=fold)])])
        for longest, words, fold in itertools.product((False, True), repeat=3):
            chars = rng.choice(["", "-", "\t"]) if words else ""
            options = ["-s"] + ["-l"] * longest + ["-w"] * words + ["-i"] * fold
            options += ["-W", chars] if chars else []
            # Ignoring case the program prints the key as stored: compared without it.
            want = [b"%d\t%d\t%d" % (line, start, v) + (b"" if fold else b"\t" + text[start:end])
                    for line, text in enumerate(self.texts, 1)
                    for start, end, v in ix.findall(text, longest=longest, words=words,
                                                        ignore_case=fold, word_chars=chars)]
            got = lookup(options, path, self.texts)
            self.same((" ".join(options), index),
                      [b"\t".join(g.split(b"\t", 3)[:3]) for g in got] if fold else got, want)
        self.same(("-d", index), lookup(["-d"], path, []),
                  [b"%d\t%s" % (v, k) for k, v in ix.items()])

    def run(self):
        one = tessel.Index(self.path("one.idx"), binary=True)
        sharded = tessel.Index(self.path("shards"), binary=True)
        self.python(one, sharded)
        self.program("one.idx", one)
        self.program("shards", sharded)
        one.close()
        sharded.close()
        shutil.rmtree(self.dir)
        return self.findings


def main():
    import logging  # pylint: disable=import-outside-toplevel

    from distributed import Client, LocalCluster  # pylint: disable=import-outside-toplevel

    first = int(sys.argv[1]) if len(sys.argv) > 1 else 0
    end = int(sys.argv[2]) if len(sys.argv) > 2 else first + 20
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        findings = sum(Round(seed, client).run() for seed in range(first, end))
    print(f"seeds {first} to {end - 1}: {findings} findings")
    sys.exit(1 if findings else 0)


if __name__ == "__main__":
    main()
