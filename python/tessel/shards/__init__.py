"""Sharded indexes: any number of keys, past one file's cap and past one machine, built in
parallel on Dask.

A sharded index is a directory of ordinary Tessel index files, the shards, each holding one
contiguous range of the sorted keys, and a manifest (MANIFEST) that lists them. It answers as
one index: tessel.ShardedIndex in Python, Tessel::ShardedIndex in C++, and tessel-lookup given
the directory. build() plans the shards, has a Dask cluster build them in C++ and writes the
manifest last.

    python3 -m tessel.shards build [--shard-keys N] [--workers N] [--scheduler ADDRESS]
                                   [--unsorted] KEYS... DIRECTORY
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import glob
import math
import operator
import os
import random
import re
import stat
import sys
import time
import typing
from collections import abc

from .. import _tessel  # type: ignore[attr-defined]  # the extension, which the stub leaves out
from . import _tasks

__all__ = ["build", "DEFAULT_SHARD_KEYS", "OrderError"]

# About this many keys a shard: a shard far below the format's cap (10M URL-like keys make an
# index of about 0.6 GB), and a worker's memory modest.
DEFAULT_SHARD_KEYS = 10_000_000

# A path as the os module takes it.
_StrPath = typing.Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Unsorted key files are read by the workers in pieces of this size.
_PIECE_BYTES = 64 << 20


class _Progress:
    """Shards done of total and keys a second, on standard error when it is a terminal."""

    def __init__(self, enabled):
        self.enabled = sys.stderr.isatty() if enabled is None else enabled
        self.started = time.monotonic()
        self.keys = 0

    def update(self, done, total, keys=0):
        self.keys += keys
        if not self.enabled:
            return
        rate = self.keys / max(time.monotonic() - self.started, 1e-9)
        sys.stderr.write(f"\rshards {done}/{total}, {rate:,.0f} keys/s ")
        sys.stderr.flush()

    def finish(self):
        if self.enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _key(line):
    """A line's key, as tessel-build takes it: up to its newline or first NUL byte."""
    line = line[:-1] if line.endswith(b"\n") else line
    nul = line.find(b"\0")
    return line if nul < 0 else line[:nul]


def _line_at(file, offset):
    file.seek(offset)
    return file.readline()


def _line_before(file, offset):
    """The line that ends just before `offset`, a line's start (b"" at the file's start)."""
    if offset == 0:
        return b""
    step = 4096
    while True:
        start = max(0, offset - step)
        file.seek(start)
        chunk = file.read(offset - start)
        newline = chunk.rfind(b"\n", 0, len(chunk) - 1)
        if newline >= 0 or start == 0:
            return chunk[newline + 1:]
        step *= 4


def _next_line_start(file, offset, size):
    """The first line start at or after `offset`."""
    if offset == 0:
        return 0
    file.seek(offset - 1)
    file.readline()
    return min(file.tell(), size)


def _bytes_per_line(file, size):
    """The average length of a line, from 256 samples across the file: within a percent or so,
    so that ranges of one size take their workers about as long."""
    lines = read = 0
    for k in range(256):
        file.seek(size * k // 256)
        chunk = file.read(1 << 14)
        lines += chunk.count(b"\n")
        read += len(chunk)
    return read / max(lines, 1)


class _SortedPlan:
    """Ranges of sorted key files: about shard_keys keys each, cut after a line, never inside a
    run of equal keys, never across files. A run that goes on from one file into the next
    stays with the first file's range: its lines in the next file belong to no range, but
    count in the line numbers. For range i, skipped[i] counts such lines since the range
    before, and skipped_here[i] those at the start of its own file."""

    def __init__(self, files, shard_keys):
        self.ranges = []  # (path, start, end)
        self.file_of = []  # each range's place in `files`: one file may be given twice
        self.skipped = []
        self.skipped_here = []
        pending = 0
        last_key = None  # the last key of the list so far
        for number, path in enumerate(files):
            size = os.path.getsize(path)
            if size == 0:
                continue
            with open(path, "rb") as file:
                start = here = 0
                while last_key is not None and start < size and \
                        _key(_line_at(file, start)) == last_key:
                    start = file.tell()
                    here += 1
                pending += here
                # Ranges of one size: as many as the keys need, the bytes shared evenly.
                lines = (size - start) / _bytes_per_line(file, size)
                step = max(1, math.ceil((size - start) / max(1, round(lines / shard_keys))))
                cut = start
                while cut < size:
                    end = size if cut + step >= size else _next_line_start(file, cut + step, size)
                    while 0 < end < size and \
                            _key(_line_before(file, end)) == _key(_line_at(file, end)):
                        end = file.tell()
                    self.ranges.append((path, cut, end))
                    self.file_of.append(number)
                    self.skipped.append(pending)
                    self.skipped_here.append(here if cut == start else 0)
                    pending = 0
                    cut = end
                if start < size:
                    last_key = _key(_line_before(file, size))


def _sample_lines(files, count, seed=1):
    """About `count` keys read at random places of the files, weighted by their sizes."""
    sizes = [os.path.getsize(path) for path in files]
    total = sum(sizes)
    rng = random.Random(seed)
    sample = []
    for path, size in zip(files, sizes):
        if size == 0:
            continue
        with open(path, "rb") as file:
            for _ in range(max(1, count * size // max(total, 1) // 16)):
                file.seek(rng.randrange(size))
                file.readline()
                for _ in range(16):
                    line = file.readline()
                    if not line:
                        break
                    sample.append(_key(line))
    return sample


def _boundaries(sample, ranges):
    """ranges - 1 keys cutting the sample in parts of equal size, distinct and increasing."""
    sample = sorted(sample)
    cuts = []
    for r in range(1, ranges):
        key = sample[len(sample) * r // ranges]
        if not cuts or key > cuts[-1]:
            cuts.append(key)
    return cuts


def _client(client, workers, scheduler):
    """The client to build with, and what to close after: a local cluster of worker
    processes when neither a client nor a scheduler is given."""
    from distributed import Client, LocalCluster  # pylint: disable=import-outside-toplevel

    if client is not None:
        return client, []
    if scheduler is not None:
        client = Client(scheduler)
        return client, [client]
    import logging  # pylint: disable=import-outside-toplevel

    cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                           processes=True, host="127.0.0.1", dashboard_address=None,
                           silence_logs=logging.ERROR, memory_limit=0)
    client = Client(cluster)
    return client, [client, cluster]


@contextlib.contextmanager
def _locked(directory):
    """Holds the directory for this build; another build into it fails at once."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise BlockingIOError(errno.EWOULDBLOCK, "another build is writing", directory) from None
        yield
    finally:
        os.close(fd)


def _remove(paths):
    for path in paths:
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)


def _shard_name(generation, number):
    return f"shard-{generation}-{number:05d}.idx"


# The names _shard_name() gives: only files so named are removed as earlier generations', so a
# user's own files in the directory stay.
_SHARD_NAME = re.compile(r"shard-[0-9a-f]+-[0-9a-f]+-[0-9]{5,}\.idx")


class OrderError(ValueError):
    """Keys of a sorted build out of order: `path` and `line` (1-based) tell where."""

    def __init__(self, path: str, line: int) -> None:
        super().__init__(f"{path}:{line}: keys out of order")
        self.path = path
        self.line = line


def build(sources: _StrPath | abc.Iterable[_StrPath] | typing.Any, directory: _StrPath, *,
          shard_keys: typing.SupportsIndex | None = None, unsorted: bool = False,
          client: typing.Any = None, workers: typing.SupportsIndex | None = None,
          scheduler: str | None = None, progress: bool | None = None) -> None:
    """Builds a sharded index of `sources` into `directory`.

    sources: key files (paths; one or a list), read as one list with tessel-build's rules,
    sorted in byte order unless `unsorted` is true; or a Dask bag, or a Dask dataframe column,
    of str (UTF-8) or bytes keys, which are always taken as unsorted. Sorted files give each
    key the 0-based line number of its first occurrence across the files, as tessel-build
    does on their concatenation; unsorted input gives the rank among the distinct keys, as
    `LC_ALL=C sort -u | tessel-build -` does.

    shard_keys: about how many keys a shard holds (DEFAULT_SHARD_KEYS). client: a
    distributed.Client to build on, whose workers have the tessel package and see the
    directory; else `scheduler` (an address), else a local cluster of `workers` processes (one
    per core), started and stopped here. progress: shards done and keys a second on standard
    error (by default when it is a terminal).

    The shards of a new generation get names of their own; the manifest is written last,
    atomically, and only then are the previous generation's files removed, so readers that
    opened it keep reading it. A build that fails or is interrupted leaves the previous
    manifest and its shards as they were and removes what it wrote.

    Raises OrderError (a ValueError naming the file and line) for sorted keys out of order,
    BlockingIOError when another build is writing to the directory, ValueError for a key file
    that is not a regular file, TypeError for keys that are neither str nor bytes and for a
    whole dataframe (give one column), OSError, and whatever Dask raises.
    """
    shard_keys = DEFAULT_SHARD_KEYS if shard_keys is None else operator.index(shard_keys)
    if shard_keys < 1:
        raise ValueError("shard_keys must be positive")
    if workers is not None and operator.index(workers) < 1:
        raise ValueError("workers must be positive")
    if hasattr(sources, "columns"):
        # A whole dataframe iterates over its column names, which would quietly be the keys.
        raise TypeError("keys come from one column of a dataframe (frame['keys']), "
                        "not from the whole dataframe")
    if not hasattr(sources, "to_delayed"):
        sources = _key_files(sources)
    directory = os.path.abspath(os.fsdecode(directory))
    os.makedirs(directory, exist_ok=True)
    with _locked(directory):
        generation = f"{time.time_ns():x}-{os.getpid():x}"
        marker = os.path.join(directory, f".tessel-building-{generation}")
        open(marker, "wb").close()  # pylint: disable=consider-using-with
        owned = []
        try:
            client, owned = _client(client, workers, scheduler)
            entries = _Build(client, directory, generation, marker, shard_keys,
                             _Progress(progress)).run(sources, unsorted)
            _tessel._write_manifest(directory, generation, entries)
        except BaseException:
            # Nothing of this generation may take a place: its tasks check the marker before
            # they put a shard in place, and what they put already goes.
            _remove([marker])
            _close(owned)
            _remove(glob.glob(os.path.join(directory, _shard_name(generation, 0)[:-9] + "*")))
            _remove(glob.glob(os.path.join(directory, ".tessel-*.tmp")))
            raise
        _remove([marker])
        _close(owned)
        kept = {entry["file"] for entry in entries}
        _remove([os.path.join(directory, name) for name in os.listdir(directory)
                 if _SHARD_NAME.fullmatch(name) and name not in kept])
        # Left by workers that were killed; no other build writes here.
        _remove(glob.glob(os.path.join(directory, ".tessel-*.tmp")))


def _key_files(sources):
    """The absolute paths of key files, each checked to be a regular file that can be read,
    before any work: the files are read at offsets, which a pipe or a device cannot give."""
    single = isinstance(sources, (str, bytes, os.PathLike))
    files = [os.path.abspath(os.fsdecode(path)) for path in ([sources] if single else sources)]
    for path in files:
        mode = os.stat(path).st_mode  # before open(), which would wait for a FIFO's writer
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(mode):
            raise ValueError(f"{path}: not a regular file (key files are read at offsets)")
        with open(path, "rb"):
            pass
    return files


def _close(owned):
    for thing in owned:
        with contextlib.suppress(Exception):
            thing.close()


class _Build:
    def __init__(self, client, directory, generation, marker, shard_keys, progress):
        self.client = client
        self.directory = directory
        self.generation = generation
        self.marker = marker
        self.shard_keys = shard_keys
        self.progress = progress

    def path(self, number):
        return os.path.join(self.directory, _shard_name(self.generation, number))

    def key(self, what, number):
        return f"tessel-{what}-{self.generation}-{number}"

    def run(self, sources, unsorted):
        if isinstance(sources, list):
            return self.unsorted_files(sources) if unsorted else self.sorted_files(sources)
        return self.collection(sources)

    def gather(self, futures):
        """The results of the shard builds, in their order, with progress as they end."""
        from distributed import as_completed  # pylint: disable=import-outside-toplevel

        results = [None] * len(futures)
        where = {future.key: number for number, future in enumerate(futures)}
        self.progress.update(0, len(futures))
        for done, future in enumerate(as_completed(futures), 1):
            results[where[future.key]] = future.result()
            self.progress.update(done, len(futures), results[where[future.key]].get("keys", 0))
        self.progress.finish()
        return results

    def sorted_files(self, files):
        plan = _SortedPlan(files, self.shard_keys)
        futures = [self.client.submit(_tasks.build_range, path, start, end, self.path(n),
                                      self.marker, key=self.key("range", n))
                   for n, (path, start, end) in enumerate(plan.ranges)]
        results = self.gather(futures)
        # Values: lines before each range, over all files.
        first_line, line = [], 0
        for result, skipped in zip(results, plan.skipped):
            line += skipped
            first_line.append(line)
            line += result.get("lines", 0)
        # The first key out of order: inside a range, or where one range meets the next.
        wrong = []
        for n, result in enumerate(results):
            if "unsorted" in result:
                wrong.append((first_line[n] + result["unsorted"], n, result["unsorted"]))
            elif n > 0 and "first" in result and "last" in results[n - 1] and \
                    results[n - 1]["last"] >= result["first"]:
                wrong.append((first_line[n], n, 0))
        if wrong:
            _, n, local = min(wrong)
            path = plan.ranges[n][0]
            in_file = plan.skipped_here[n] + sum(
                results[m].get("lines", 0) + plan.skipped_here[m]
                for m in range(n) if plan.file_of[m] == plan.file_of[n])
            raise OrderError(path, in_file + local + 1)
        return [dict(result, base=first_line[n], file=os.path.basename(self.path(n)))
                for n, result in enumerate(results) if result.get("keys", 0) > 0]

    def ranges_for(self, keys):
        workers = max(1, len(self.client.scheduler_info().get("workers", {})))
        return max(math.ceil(keys / self.shard_keys), workers if keys >= workers * 1000 else 1)

    def shuffle(self, pieces, boundaries):
        """Builds range r from piece futures that each hold one blob per range."""
        futures = []
        for r in range(len(boundaries) + 1):
            parts = [self.client.submit(operator.getitem, piece, r, key=self.key(f"part{r}", p))
                     for p, piece in enumerate(pieces)]
            futures.append(self.client.submit(_tasks.build_framed, parts, self.path(r),
                                              self.marker, key=self.key("build", r)))
        del pieces
        results = self.gather(futures)
        entries, base = [], 0
        for r, result in enumerate(results):
            if result.get("keys", 0) > 0:
                entries.append(dict(result, base=base, file=os.path.basename(self.path(r))))
                base += result["keys"]
        return entries

    def unsorted_files(self, files):
        sample = _sample_lines(files, 100_000)
        sizes = [os.path.getsize(path) for path in files]
        per_line = max(1.0, sum(len(key) + 1 for key in sample) / max(len(sample), 1))
        boundaries = _boundaries(sample, self.ranges_for(int(sum(sizes) / per_line))) if sample else []
        pieces = [self.client.submit(_tasks.partition_lines, path, start,
                                     min(start + _PIECE_BYTES, size), boundaries,
                                     key=self.key("piece", n))
                  for n, (path, start, size) in enumerate(
                      (path, start, size) for path, size in zip(files, sizes)
                      for start in range(0, size, _PIECE_BYTES))]
        return self.shuffle(pieces, boundaries)

    def collection(self, collection):
        """A Dask bag or dataframe column: framed by the workers, sampled, then shuffled."""
        from dask import delayed  # pylint: disable=import-outside-toplevel

        framed = self.client.compute([delayed(_tasks.frame_partition)(part)
                                      for part in collection.to_delayed()])
        counts = self.client.gather([self.client.submit(operator.itemgetter(1, 2), f,
                                                        key=self.key("sample", n))
                                     for n, f in enumerate(framed)])
        sample = [key for keys, _ in counts for key in keys]
        boundaries = _boundaries(sample, self.ranges_for(sum(n for _, n in counts))) if sample else []
        pieces = [self.client.submit(_tasks.partition_framed, f, boundaries, key=self.key("split", n))
                  for n, f in enumerate(framed)]
        del framed
        return self.shuffle(pieces, boundaries)
