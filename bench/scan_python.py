#!/usr/bin/env python3
"""The Python and Dask parts of bench/scan (which runs them; see there).

Usage: scan_python.py findall PROSE INDEX WORDS RUNS
       scan_python.py case PROSE INDEX WORDS RUNS
       scan_python.py automaton KEYS [LIMIT_GIB]
       scan_python.py dask PROSE INDEX COPIES WORKERS
       scan_python.py single PROSE INDEX COPIES
"""

import gc
import os
import resource
import sys
import time


def read_documents(path):
    with open(path, "rb") as file:
        return [line.rstrip(b"\n").decode("utf-8", "surrogateescape") for line in file]


class Collections:
    """The cyclic GC's work while it is installed: seconds spent collecting, and the number of
    collections of the oldest generation, each of which walks every object alive."""

    def __init__(self):
        self.seconds, self.full, self._start = 0.0, 0, 0.0

    def __call__(self, phase, info):
        if phase == "start":
            self._start = time.perf_counter()
        else:
            self.seconds += time.perf_counter() - self._start
            self.full += info["generation"] == 2

    def __enter__(self):
        gc.callbacks.append(self)
        return self

    def __exit__(self, *failure):
        gc.callbacks.remove(self)


def timed(work):
    """Runs work(); returns its result and its wall, user and system seconds, and the GC's
    seconds and full collections."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    with Collections() as collections:
        result = work()
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    return result, (wall, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime,
                    collections.seconds, collections.full)


def fastest(runs, work):
    """The count of work()'s matches and timed()'s figures of its fastest run; the
    matches stay alive until the run's times are taken, as a program keeps what it finds."""
    best = None
    count = 0
    for _ in range(int(runs)):
        found, times = timed(work)
        count = sum(len(matches) for matches in found)
        del found
        best = times if best is None or times[0] < best[0] else best
    return count, best


def private_mib():
    """This process's private anonymous memory now, MiB."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) / 1024
    return 0.0


def findall(prose, index_path, words_path, runs, shape="documents"):
    """findall(text, longest=True) against python3-ahocorasick's iter_long collecting the same
    tuples, the GC on and a realistic heap; opening the index against building the automaton.
    The texts are the documents, or with shape "titles" 500,000 short texts cut from them (60
    characters each), as a program that tags titles, tweets or log lines calls it."""
    import tessel  # pylint: disable=import-outside-toplevel

    heap = [[n] for n in range(1_000_000)]  # a program's objects, which the GC walks
    gc.enable()
    texts = read_documents(prose)
    if shape == "titles":
        texts = [text[i:i + 60] for text in texts for i in range(0, len(text), 60)][:500_000]
    print(f"{len(texts)} texts ({shape}):")
    megabytes = sum(len(text.encode("utf-8", "surrogateescape")) for text in texts) / 1e6
    before = private_mib()
    start = time.perf_counter()
    index = tessel.Index(index_path)
    opened = time.perf_counter() - start
    opened_mib = private_mib() - before
    count, best = fastest(runs, lambda: [index.findall(text, longest=True) for text in texts])
    print(f"tessel findall(longest=True): {count} matches in {best[0]:.3f} s (user {best[1]:.2f}, "
          f"system {best[2]:.2f}, GC {best[3]:.2f} in {best[4]} full; {megabytes / best[0]:.0f} "
          f"MB/s, {len(texts) / best[0]:,.0f} texts/s); Index() {opened * 1e3:.3f} ms, "
          f"{opened_mib:.1f} MiB private")
    ours = best[0]
    try:
        import ahocorasick  # pylint: disable=import-outside-toplevel
    except ImportError:
        print("python3-ahocorasick is not installed")
        return
    before = private_mib()
    start = time.perf_counter()
    automaton = ahocorasick.Automaton()
    with open(words_path, "rb") as file:
        for value, line in enumerate(file):
            key = line.rstrip(b"\n").decode("utf-8", "surrogateescape")
            if key and key not in automaton:
                automaton.add_word(key, (len(key), value))
    automaton.make_automaton()
    built = time.perf_counter() - start
    built_mib = private_mib() - before
    peer, best = fastest(runs, lambda: [[(end - length + 1, end + 1, value)
                                         for end, (length, value) in automaton.iter_long(text)]
                                        for text in texts])
    print(f"ahocorasick iter_long: {peer} matches in {best[0]:.3f} s (user {best[1]:.2f}, "
          f"system {best[2]:.2f}, GC {best[3]:.2f} in {best[4]} full; {megabytes / best[0]:.0f} "
          f"MB/s, {len(texts) / best[0]:,.0f} texts/s); automaton built in {built:.2f} s, "
          f"{built_mib:.0f} MiB private")
    print(f"findall is {best[0] / ours:.2f}x iter_long (fastest runs)")
    del heap


def case(prose, index_path, words_path, runs):
    """Ignoring case: findall(text, longest=True, ignore_case=True) against python3-ahocorasick's
    iter_long over text.lower() with the keys lowered (the usual workaround; its offsets are
    wrong wherever lowering changes a length), the GC on and a realistic heap; then
    sub(words=True, ignore_case=True) on the whole corpus, and re.sub with an alternation of
    the first 20,000 keys on its first megabyte (of all the keys it would not finish)."""
    import re  # pylint: disable=import-outside-toplevel

    import tessel  # pylint: disable=import-outside-toplevel

    heap = [[n] for n in range(1_000_000)]
    gc.enable()
    texts = read_documents(prose)
    megabytes = sum(len(text.encode("utf-8", "surrogateescape")) for text in texts) / 1e6
    index = tessel.Index(index_path)
    count, best = fastest(runs, lambda: [index.findall(text, longest=True, ignore_case=True)
                                         for text in texts])
    ours = best[0]
    print(f"tessel findall(longest=True, ignore_case=True): {count} matches in {ours:.3f} s "
          f"({megabytes / ours:.0f} MB/s)")
    with open(words_path, "rb") as file:
        words = [line.rstrip(b"\n").decode("utf-8", "surrogateescape") for line in file]
    try:
        import ahocorasick  # pylint: disable=import-outside-toplevel
        automaton = ahocorasick.Automaton()
        for value, key in enumerate(words):
            lowered = key.lower()
            if lowered and lowered not in automaton:
                automaton.add_word(lowered, (len(lowered), value))
        automaton.make_automaton()
        peer, best = fastest(runs, lambda: [[(end - length + 1, end + 1, value)
                                             for end, (length, value)
                                             in automaton.iter_long(text.lower())]
                                            for text in texts])
        print(f"ahocorasick iter_long over text.lower(): {peer} matches in {best[0]:.3f} s; "
              f"findall is {best[0] / ours:.2f}x faster (fastest runs)")
    except ImportError:
        print("python3-ahocorasick is not installed")
    _, times = timed(lambda: [index.sub("<>", text, words=True, ignore_case=True)
                              for text in texts])
    ours = megabytes / times[0]
    print(f"tessel sub(words=True, ignore_case=True), every key: {times[0]:.2f} s "
          f"({ours:.0f} MB/s)")
    first = "".join(texts)[:1_000_000]
    pattern = re.compile(r"\b(?:" + "|".join(sorted(map(re.escape, words[:20000]), key=len,
                                                    reverse=True)) + r")\b", re.IGNORECASE)
    _, times = timed(lambda: pattern.sub("<>", first))
    print(f"re.sub with an alternation of the first 20,000 keys, IGNORECASE, on the first "
          f"1,000,000 characters: {times[0]:.1f} s ({1 / times[0]:.3f} MB/s); sub with all "
          f"{len(words):,} keys is {ours * times[0]:.0f}x its speed")
    del heap


def automaton(keys_path, limit_gib):
    """How far python3-ahocorasick gets with a large dictionary under an address-space limit:
    the keys added, the time and the peak private memory, or where it failed."""
    import ahocorasick  # pylint: disable=import-outside-toplevel

    if limit_gib:
        limit = int(float(limit_gib) * (1 << 30))
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    built = ahocorasick.Automaton()
    start = time.perf_counter()
    added = 0
    try:
        with open(keys_path, "rb") as file:
            for value, line in enumerate(file):
                built.add_word(line.rstrip(b"\n").decode("utf-8", "surrogateescape"), value)
                added += 1
        built.make_automaton()
        outcome = "built"
    except MemoryError:
        outcome = "MemoryError"
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"ahocorasick: {outcome} after {added} keys in {time.perf_counter() - start:.1f} s, "
          f"peak resident {peak:.0f} MiB" + (f" (address space limited to {limit_gib} GiB)"
                                              if limit_gib else ""))


def dask_run(prose, index_path, copies, workers):
    """The corpus `copies` times over in partitions on a local cluster: the matches counted on
    the workers, start-up included."""
    import logging  # pylint: disable=import-outside-toplevel

    start = time.perf_counter()
    import dask.bag  # pylint: disable=import-outside-toplevel
    from distributed import Client, LocalCluster  # pylint: disable=import-outside-toplevel

    import tessel.parallel  # pylint: disable=import-outside-toplevel

    with LocalCluster(n_workers=int(workers), threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None, silence_logs=logging.ERROR,
                      memory_limit=0) as cluster, Client(cluster) as client:
        texts = dask.bag.read_text([prose] * int(copies), blocksize=32 << 20,
                                   errors="surrogateescape")
        matches = tessel.parallel.findall(texts, index_path, longest=True, words=True)
        count = client.compute(matches.map(len).sum()).result()
    print(f"dask, {workers} workers: {count} matches in {time.perf_counter() - start:.2f} s, "
          "start-up included")


def single(prose, index_path, copies):
    """The same in one process: each document of the corpus `copies` times over."""
    start = time.perf_counter()
    import tessel  # pylint: disable=import-outside-toplevel

    index = tessel.Index(index_path)
    count = 0
    for _ in range(int(copies)):
        with open(prose, encoding="utf-8", errors="surrogateescape") as file:
            for text in file:
                count += len(index.findall(text, longest=True, words=True))
    print(f"one process: {count} matches in {time.perf_counter() - start:.2f} s, start-up "
          "included")


if __name__ == "__main__":
    commands = {"findall": findall, "case": case, "automaton": automaton, "dask": dask_run,
                "single": single}
    if len(sys.argv) < 2 or sys.argv[1] not in commands or sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        sys.exit(0 if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help") else 2)
    if sys.argv[1] == "automaton" and len(sys.argv) == 3:
        sys.argv.append("")
    commands[sys.argv[1]](*sys.argv[2:])
    sys.exit(0)
