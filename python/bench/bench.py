"""Times the tessel package against marisa-trie, datrie and a dict in one process.

Usage: /usr/bin/python3 python/bench/bench.py [--words FILE] [--urls FILE] [--runs N]

With Debian's python3-marisa (marisa's own binding) and python3-datrie (apt-get install python3-marisa python3-datrie);
a peer that is not installed is left out. The word list is /usr/share/dict/words (apt-get
install wamerican-insane); --urls names the 5-million-key URL-like set for the len() row
(build/release/keygen urls 5000000 > urls.txt). Each figure is the fastest of --runs runs,
timed as users run Python: the cyclic GC on, and a list of 1,000,000 small lists alive, which
the collector's full passes must walk. Prints a Markdown table: seconds per run, and tessel's
speed as a multiple of each peer's.
"""

import argparse
import gc
import os
import random
import sys
import tempfile
import time

try:
    import tessel
except ImportError:  # --help works without it; main() says where to find it
    tessel = None

try:
    import marisa  # Debian's python3-marisa: the library's own SWIG binding
except ImportError:
    marisa = None
try:
    import datrie
except ImportError:
    datrie = None


def fastest(runs, action):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


class Marisa:
    """marisa's binding used as its documentation shows: a Keyset to build, an Agent to ask."""

    def __init__(self, path):
        self.trie = marisa.Trie()
        self.trie.load(path)
        self.agent = marisa.Agent()

    @staticmethod
    def build(keys, path):
        keyset = marisa.Keyset()
        for key in keys:
            keyset.push_back(key)
        trie = marisa.Trie()
        trie.build(keyset)
        trie.save(path)

    def __contains__(self, query):
        self.agent.set_query(query)
        return self.trie.lookup(self.agent)

    def get(self, query):
        agent = self.agent
        agent.set_query(query)
        return agent.key_id() if self.trie.lookup(agent) else None

    def predict(self, prefix, limit=None):
        agent = self.agent
        agent.set_query(prefix)
        found = []
        while (limit is None or len(found) < limit) and self.trie.predictive_search(agent):
            found.append((agent.key_str(), agent.key_id()))
        return found

    def __iter__(self):
        return iter([key for key, _ in self.predict("")])


def read_keys(path):
    with open(path, "rb") as keys:
        return sorted(set(keys.read().decode("utf-8", "surrogateescape").split("\n")) - {""})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--words", default="/usr/share/dict/words")
    parser.add_argument("--urls", default=None)
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()
    if tessel is None:
        sys.exit("bench.py: no tessel package: PYTHONPATH=build/release/python, or install it")
    runs = options.runs
    gc.enable()
    heap = [[n] for n in range(1_000_000)]  # a realistic heap, alive to the end

    words = read_keys(options.words)
    rng = random.Random(1)
    queries = [rng.choice(words) + ("" if n % 2 else "~") for n in range(1000000)]
    prefixes = sorted({w[:3] for w in words if len(w) >= 3})
    prefixes = rng.sample(prefixes, min(10000, len(prefixes)))
    scratch = tempfile.mkdtemp(prefix="tessel-bench-")
    rows = []

    def row(operation, count, ours, peers):
        shown = "; ".join(f"{name} {seconds:.4f} s: {seconds / ours:.2f}x" for name, seconds in peers)
        rows.append(f"| {operation} | {count} | {ours:.4f} | {shown or '-'} |")

    index_path = os.path.join(scratch, "words.idx")
    ours = fastest(runs, lambda: tessel.build(words, index_path))
    peers = []
    marisa_path = os.path.join(scratch, "words.marisa")
    if marisa:
        peers.append(("marisa", fastest(runs, lambda: Marisa.build(words, marisa_path))))
    if datrie:
        def build_datrie():
            trie = datrie.Trie(ranges=[("\x00", "\U0010ffff")])
            for position, word in enumerate(words):
                trie[word] = position
            trie.save(os.path.join(scratch, "words.datrie"))
        peers.append(("datrie", fastest(1, build_datrie)))
    row("build from str, with save", len(words), ours, peers)

    index = tessel.Index(index_path)
    peer = Marisa(marisa_path) if marisa else None
    table = {w: n for n, w in enumerate(words)}

    def contains(container):
        return lambda: sum(1 for q in queries if q in container)

    def gets(container):
        get = container.get
        return lambda: [get(q) for q in queries]

    peers = [("dict", fastest(runs, contains(table)))]
    if peer:
        peers.append(("marisa", fastest(runs, contains(peer))))
    row("key in index", len(queries), fastest(runs, contains(index)), peers)

    peers = [("dict", fastest(runs, gets(table)))]
    if peer:
        peers.append(("marisa", fastest(runs, gets(peer))))
    loop = fastest(runs, gets(index))
    row("get(key)", len(queries), loop, peers)
    many = fastest(runs, lambda: index.get_many(queries))
    row("get_many(queries)", len(queries), many, [("loop of get", loop)])

    peers = []
    if peer:
        peers.append(("marisa", fastest(runs, lambda: [peer.predict(p, 10) for p in prefixes])))
    row("predict(prefix, limit=10)", len(prefixes),
        fastest(runs, lambda: [index.predict(p, 10) for p in prefixes]), peers)

    peers = []
    if peer:
        peers.append(("marisa", fastest(runs, lambda: list(peer))))
    row("iterate all keys", len(words), fastest(runs, lambda: list(index)), peers)

    if datrie:
        datrie_path = os.path.join(scratch, "words.datrie")
        row("open the index", 1, fastest(runs, lambda: tessel.Index(index_path)),
            [("datrie load", fastest(runs, lambda: datrie.Trie.load(datrie_path)))])

    if options.urls:
        urls_path = os.path.join(scratch, "urls.idx")
        with open(options.urls, "rb") as keys:
            tessel.build(keys.read().split(b"\n")[:-1], urls_path)
        row("Index(path) and len() of the URL set", 1,
            fastest(runs, lambda: len(tessel.Index(urls_path))), [])

    print(f"Python {sys.version.split()[0]}; fastest of {runs} runs, cyclic GC on, "
          f"{len(heap):,} lists alive; seconds, and tessel's speed as a multiple of each peer's")
    print()
    print("| operation | count | tessel s | peers |")
    print("|---|---:|---:|---|")
    for line in rows:
        print(line)
    for name in os.listdir(scratch):
        os.remove(os.path.join(scratch, name))
    os.rmdir(scratch)


if __name__ == "__main__":
    main()
