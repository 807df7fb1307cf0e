#!/usr/bin/env python3
"""Ranked completion from Python: Index.top() against SQLite (Python's sqlite3: a table of key
and weight with an index on the key, WHERE key >= ? AND key < ? ORDER BY weight DESC LIMIT N)
for every 1- and 2-byte prefix of the keys; and top() queries a second. bench/top runs it.

Usage: top_python.py KEYS WEIGHTS INDEX [N]
  INDEX has its companion (tessel-weights WEIGHTS INDEX)."""

import gc
import sqlite3
import statistics
import sys
import time

import tessel


def main(keys_path, weights_path, index_path, n="10"):
    n = int(n)
    with open(keys_path, "rb") as file:
        keys = [line.rstrip(b"\n") for line in file]
    with open(weights_path, encoding="ascii") as file:
        weights = [int(line) for line in file]
    prefixes = sorted({key[:length] for key in keys for length in (1, 2) if len(key) >= length})
    heap = [[i] for i in range(1_000_000)]  # a program's objects, which the GC walks
    gc.enable()
    database = sqlite3.connect(":memory:")
    database.execute("CREATE TABLE keys (key BLOB, weight INTEGER)")
    database.executemany("INSERT INTO keys VALUES (?, ?)", zip(keys, weights))
    database.execute("CREATE INDEX by_key ON keys (key)")
    ours, theirs = [], []
    with tessel.Index(index_path, binary=True) as index:
        index.top(b"", 1)  # reads the companion
        for prefix in prefixes:
            start = time.perf_counter()
            found = index.top(prefix, n)
            ours.append(time.perf_counter() - start)
            upper = prefix[:-1] + bytes([prefix[-1] + 1]) if prefix[-1] < 255 else None
            start = time.perf_counter()
            rows = database.execute(
                "SELECT key, weight FROM keys WHERE key >= ?" +
                (" AND key < ?" if upper else "") + " ORDER BY weight DESC, key LIMIT ?",
                (prefix, upper, n) if upper else (prefix, n)).fetchall()
            theirs.append(time.perf_counter() - start)
            if [w for _, _, w in found] != [w for _, w in rows]:
                print(f"differ at {prefix!r}: {found} {rows}")
        start = time.perf_counter()
        rounds = 0
        while time.perf_counter() - start < 2:
            for prefix in prefixes:
                index.top(prefix, n)
            rounds += 1
        rate = rounds * len(prefixes) / (time.perf_counter() - start)
    ratios = [b / a for a, b in zip(ours, theirs)]
    print(f"{len(prefixes)} prefixes, top {n}: median {statistics.median(ours) * 1e6:.1f} us by "
          f"top(), {statistics.median(theirs) * 1e6:.1f} us by SQLite; median ratio "
          f"{statistics.median(ratios):.1f}x; top() answers {rate:,.0f} queries a second "
          f"(the GC on, 1,000,000 lists alive)")
    del heap


if __name__ == "__main__":
    if len(sys.argv) < 4:
        print(__doc__)
        sys.exit(2)
    main(*sys.argv[1:])
