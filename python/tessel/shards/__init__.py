"""Sharded indexes: any number of keys, past one file's cap and past one machine, built in
parallel: on a Dask cluster, or on threads of this process for local key files.

A sharded index is a directory of ordinary Tessel index files, the shards, each holding one
contiguous range of the sorted keys, and a manifest (MANIFEST) that lists them. It answers as
one index: tessel.Index in Python, Tessel::Index in C++, and tessel-lookup given
the directory. build() plans the shards (tessel.shards._plan), has its workers build them
in C++, and has the directory's owner (tessel._tessel._Directory) check them and commit the
manifest.

    python3 -m tessel.shards build [--shard-keys N] [--workers N] [--scheduler ADDRESS]
                                   [--unsorted] KEYS... DIRECTORY
"""

from __future__ import annotations

import _thread
import ast
import concurrent.futures
import contextlib
import errno
import operator
import os
import queue
import signal
import stat
import sys
import threading
import time
import typing
from collections import abc

from .. import _tessel  # type: ignore[attr-defined]  # the extension, which the stub leaves out
from . import _plan, _tasks
from ._plan import OrderError

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


class _Interrupts:
    """Ctrl-C during a build: before the commit it stops the build (KeyboardInterrupt, or the
    handler that was in place); while the build is given up, and once it has committed, it
    waits. Signals reach Python in the main thread only; elsewhere nothing changes."""

    def __init__(self, owner, ignore_after=False):
        self.owner = owner
        self.ignore_after = ignore_after  # leave Ctrl-C ignored once the build has committed
        self.previous = None
        self.holding = 0
        self.pending = None  # the frame of a signal that waits

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            previous = signal.getsignal(signal.SIGINT)
            # Ctrl-C ignored by the caller stays ignored.
            if previous not in (signal.SIG_IGN, None):
                self.previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def _handle(self, signum, frame):
        if self.owner.committed or self.holding:
            self.pending = (signum, frame)
        elif callable(self.previous):
            self.previous(signum, frame)
        else:
            raise KeyboardInterrupt

    @contextlib.contextmanager
    def held(self):
        """Ctrl-C waits while this lasts; one that came meanwhile is then raised, unless the
        build has committed."""
        self.holding += 1
        try:
            yield
        finally:
            self.holding -= 1
        if self.pending is not None and not self.holding and not self.owner.committed:
            signum, frame = self.pending
            self.pending = None
            self._handle(signum, frame)

    def __exit__(self, *failure):
        if self.previous is not None:
            committed = self.ignore_after and self.owner.committed
            signal.signal(signal.SIGINT, signal.SIG_IGN if committed else self.previous)

    def late(self):
        """Whether Ctrl-C came after the commit."""
        return self.pending is not None and self.owner.committed


@contextlib.contextmanager
def _workers_deaf_to_ctrl_c():
    """Worker processes started meanwhile never see Ctrl-C (they start with SIGINT blocked): a
    terminal sends it to the whole process group, and the driver alone stops them, without a
    traceback from each."""
    import multiprocessing.util  # pylint: disable=import-outside-toplevel

    spawn = multiprocessing.util.spawnv_passfds

    def deaf(path, args, passfds):
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            return spawn(path, args, passfds)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    multiprocessing.util.spawnv_passfds = deaf
    try:
        yield
    finally:
        multiprocessing.util.spawnv_passfds = spawn


class _Dask:
    """The workers of a Dask client, as _Build asks them for work."""

    def __init__(self, client):
        self.client = client

    def submit(self, function, *args, key):
        return self.client.submit(function, *args, key=key)

    def gather(self, futures):
        return self.client.gather(futures)

    def compute(self, delayed):
        return self.client.compute(delayed)

    @staticmethod
    def as_completed(futures):
        from distributed import as_completed  # pylint: disable=import-outside-toplevel

        return as_completed(futures)

    @staticmethod
    def wait(futures):
        import distributed  # pylint: disable=import-outside-toplevel

        distributed.wait(futures)


def _deaf_to_signals():
    """A local worker thread leaves every signal to the main thread, which Ctrl-C must wake."""
    signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())


class _Threads:
    """Local workers for key files: threads of this process. Their work runs in the extension
    without the GIL, so they build in parallel as processes would, without the second that a
    cluster takes to start and stop. A task given futures (alone or in a list) waits for their
    results; tasks start in the order given, so it waits only for tasks already started. A
    shard's build stops once the build is given up (its marker gone): close() waits for them.
    The threads are daemons, as the calling thread may be: an interpreter that ends during
    the build does not wait for its shards (what they leave, the next build removes)."""

    def __init__(self, workers):
        self.workers = workers
        self.threads = []
        self.queue = queue.SimpleQueue()
        self.closing = False

    def _result(self, thing):
        if isinstance(thing, concurrent.futures.Future):
            return thing.result()
        if isinstance(thing, list):
            return [self._result(item) for item in thing]
        return thing

    def _work(self):
        _deaf_to_signals()
        while True:
            task = self.queue.get()
            if task is None:
                return
            future, function, args = task
            if self.closing:
                future.cancel()
            if not future.set_running_or_notify_cancel():
                continue
            try:
                result = function(*[self._result(arg) for arg in args])
            except BaseException as error:  # pylint: disable=broad-except
                future.set_exception(error)
            else:
                future.set_result(result)

    def submit(self, function, *args, key):
        future = concurrent.futures.Future()
        future.key = key  # type: ignore[attr-defined]
        self.queue.put((future, function, args))
        if len(self.threads) < self.workers:
            thread = threading.Thread(target=self._work, name="tessel-shards", daemon=True)
            thread.start()
            self.threads.append(thread)
        return future

    def gather(self, futures):
        return [future.result() for future in futures]

    @staticmethod
    def as_completed(futures):
        return concurrent.futures.as_completed(futures)

    @staticmethod
    def wait(futures):
        concurrent.futures.wait(futures)

    def close(self):
        """Drops the tasks not started and waits for the others."""
        self.closing = True
        for _ in self.threads:
            self.queue.put(None)
        for thread in self.threads:
            thread.join()


def _cores():
    """The processors this process may run on (taskset, a container's cpuset)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def _client(client, workers, scheduler, files=False):
    """The workers to build with (_Dask or _Threads), and what to close after: threads of
    this process for key files, else a local cluster of worker processes, when neither a
    client nor a scheduler is given."""
    import logging  # pylint: disable=import-outside-toplevel

    if client is not None:
        return _Dask(client), []
    if scheduler is None and files:
        threads = _Threads(operator.index(workers) if workers is not None else _cores())
        return threads, [threads]

    from distributed import Client, LocalCluster  # pylint: disable=import-outside-toplevel

    if scheduler is not None:
        started = time.monotonic()
        try:
            client = Client(scheduler)
        except OSError:
            # Dask's own words give the time-out it was configured with, not the time spent.
            raise OSError(f"no scheduler answered at {scheduler} in "
                          f"{time.monotonic() - started:.1f} s") from None
        return _Dask(client), [client]
    # Only on the loopback address, the dashboard too, on a port of its own.
    with _workers_deaf_to_ctrl_c():
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                               processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0",
                               silence_logs=logging.ERROR, memory_limit=0)
    try:
        client = Client(cluster)
    except BaseException:
        cluster.close()
        raise
    return _Dask(client), [client, cluster]


def _close(owned):
    for thing in owned:
        with contextlib.suppress(Exception):
            thing.close()


def build(sources: _StrPath | abc.Iterable[_StrPath] | typing.Any, directory: _StrPath, *,
          shard_keys: typing.SupportsIndex | None = None, unsorted: bool = False,
          client: typing.Any = None, workers: typing.SupportsIndex | None = None,
          scheduler: str | None = None, progress: bool | None = None,
          weights: _StrPath | abc.Iterable[_StrPath] | typing.Any = None) -> None:
    """Builds a sharded index of `sources` into `directory`.

    sources: key files (paths; one or a list), each read with tessel-build's line rules (a
    file's end ends its last line, as `sort A B` reads them) and the files taken as one list,
    sorted in byte order unless `unsorted` is true; or a Dask bag, or a Dask dataframe column,
    of str (UTF-8) or bytes keys, which are always taken as unsorted. Sorted files give each
    key the 0-based line number of its first occurrence across the files; unsorted input
    gives its rank among the distinct keys (for files, a key ends at its first NUL byte as in
    tessel-build; keys from a bag or column may hold any byte).

    shard_keys: about how many keys a shard holds (DEFAULT_SHARD_KEYS). client: a
    distributed.Client to build on, whose workers have the tessel package and see the
    directory; else `scheduler` (an address), else `workers` local workers (one per core):
    threads of this process for key files, whose builds run without the GIL, and a local
    cluster of worker processes for a bag or column, started and stopped here. progress:
    shards done and keys a second on standard error (by default when it is a terminal).

    weights: the keys' weights for ranked completion (Index.top()), each shard's companion
    made beside it. For key files, weight files (a path or a list) whose lines, one integer
    from 0 to 2**32 - 1 each and taken as one list, stand beside the key files' lines; for a
    bag or column, a bag or column of integers of the same partitions. A key given more than
    once takes the greatest of its weights.

    The shards of a new generation get names of their own; the manifest is written last,
    atomically, and its rename is the commit: only then are the previous generation's files
    removed, so readers that opened it keep reading it. A build that fails or is interrupted
    before the commit leaves the previous manifest and its shards as they were and removes
    what it wrote. Ctrl-C after the commit waits for the cleanup, then is raised as
    KeyboardInterrupt once this call has returned: the directory holds the new index.

    Raises OrderError (a ValueError naming the file and line) for sorted keys out of order,
    ValueError naming the file and line for a weight that is not one, or for weights and keys
    that differ in number,
    BlockingIOError when another build is writing to the directory, ValueError for a key file
    that is not a regular file, TypeError for keys that are neither str nor bytes and for a
    whole dataframe (give one column), OSError, and whatever Dask raises.
    """
    _refuse_in_a_worker_import()
    if _build(sources, directory, shard_keys=shard_keys, unsorted=unsorted, client=client,
              workers=workers, scheduler=scheduler, progress=progress, weights=weights):
        _thread.interrupt_main()


def _refuse_in_a_worker_import():
    """Dask's local workers start by spawning, and import the main script again as
    __mp_main__: a build at the top of a script without an `if __name__ == "__main__":` guard
    would start a cluster in every worker, and those in theirs. The main process refuses such
    a build at once (its statement in the script is outside the guard); a worker that imports
    the script anyway stops with the same one line."""
    guard = 'put the build under if __name__ == "__main__":'
    top = None
    frame = sys._getframe(2)  # pylint: disable=protected-access
    while frame is not None:
        name = frame.f_globals.get("__name__")
        if name == "__mp_main__":
            sys.exit(f"tessel.shards: build() was called while a worker process imported "
                     f"{frame.f_globals.get('__file__') or 'the main script'}: {guard}")
        if name == "__main__" and frame.f_code.co_name == "<module>":
            top = frame
        frame = frame.f_back
    script = top.f_globals.get("__file__") if top is not None else None
    # A package's __main__ (python -m package) is not imported again by the workers.
    run_as = getattr(getattr(sys.modules.get("__main__"), "__spec__", None), "name", None)
    package_main = run_as is not None and (run_as == "__main__" or run_as.endswith(".__main__"))
    if package_main or not script or not str(script).endswith(".py"):
        return  # not a script that a worker would import again
    try:
        with open(script, encoding="utf-8") as file:
            statements = ast.parse(file.read()).body
    except (OSError, SyntaxError, ValueError):
        return
    line = top.f_lineno
    for statement in statements:
        if statement.lineno <= line <= (statement.end_lineno or statement.lineno):
            if not _is_main_guard(statement):
                raise RuntimeError(f"{script}:{line}: Dask's workers import this script again "
                                   f"and would build again: {guard}")
            return


def _is_main_guard(statement):
    """Whether `statement` is `if __name__ == "__main__":` (either way round)."""
    if not isinstance(statement, ast.If) or not isinstance(statement.test, ast.Compare):
        return False
    test = statement.test
    if len(test.ops) != 1 or not isinstance(test.ops[0], ast.Eq):
        return False
    sides = [test.left, test.comparators[0]]
    return any(isinstance(a, ast.Name) and a.id == "__name__" for a in sides) and \
        any(isinstance(a, ast.Constant) and a.value == "__main__" for a in sides)


def _build(sources, directory, *, shard_keys=None, unsorted=False, client=None, workers=None,
           scheduler=None, progress=None, ignore_after=False, weights=None):
    """build(); returns whether Ctrl-C came after the commit. With ignore_after, Ctrl-C is
    left ignored once the build has committed (in the main thread)."""
    shard_keys = DEFAULT_SHARD_KEYS if shard_keys is None else operator.index(shard_keys)
    if shard_keys < 1:
        raise ValueError("--shard-keys (shard_keys) must be positive")
    if workers is not None and operator.index(workers) < 1:
        raise ValueError("--workers (workers) must be positive")
    if hasattr(sources, "columns"):
        # A whole dataframe iterates over its column names, which would quietly be the keys.
        raise TypeError("keys come from one column of a dataframe (frame['keys']), "
                        "not from the whole dataframe")
    if not hasattr(sources, "to_delayed"):
        sources = _key_files(sources)
    if weights is not None:
        if hasattr(weights, "columns"):
            raise TypeError("weights come from one column of a dataframe (frame['weights']), "
                            "not from the whole dataframe")
        if hasattr(sources, "to_delayed") != hasattr(weights, "to_delayed"):
            raise TypeError("weights go with keys of their kind: weight files with key files, "
                            "a bag or column with a bag or column")
        if not hasattr(weights, "to_delayed"):
            paths = [weights] if isinstance(weights, (str, bytes, os.PathLike)) else \
                list(weights)
            if not all(isinstance(path, (str, bytes, os.PathLike)) for path in paths):
                raise TypeError("weights beside key files are weight files (paths), one "
                                "integer a line")
            weights = _key_files(paths, "weight")
    directory = os.path.abspath(os.fsdecode(directory))
    owner = _tessel._Directory(directory)
    try:
        with _Interrupts(owner, ignore_after) as interrupts:
            owned = []
            try:
                owner.begin()
                # A cluster cut short while it starts would be left to Dask to stop at exit.
                with interrupts.held():
                    client, owned = _client(client, workers, scheduler,
                                            isinstance(sources, list))
                entries, lines = _Build(client, directory, owner.generation, shard_keys,
                                        _Progress(progress), weights).run(sources, unsorted)
                owner.commit(entries, lines)
            except BaseException:
                if owner.committed:
                    raise  # nothing raises after the commit; kept in case
                with interrupts.held():
                    owner.abandon()
                    _close(owned)
                raise
            with interrupts.held():
                _close(owned)
                owner.finish()
            return interrupts.late()
    finally:
        owner.close()


def _key_files(sources, what="key"):
    """The absolute paths of key (or weight) files, each checked to be a regular file that can
    be read, before any work: the files are read at offsets, which a pipe or a device cannot
    give."""
    single = isinstance(sources, (str, bytes, os.PathLike))
    files = [os.path.abspath(os.fsdecode(path)) for path in ([sources] if single else sources)]
    for given, path in zip([sources] if single else sources, files):
        if os.fsdecode(given) == "-":
            raise ValueError(f"-: {what} files are read at offsets by the workers: give a "
                             "file, not standard input")
        mode = os.stat(path).st_mode  # before open(), which would wait for a FIFO's writer
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(mode):
            raise ValueError(f"{path}: not a regular file ({what} files are read at offsets)")
        with open(path, "rb"):
            pass
    return files


class _Build:
    def __init__(self, client, directory, generation, shard_keys, progress, weights=None):
        self.client = client
        self.directory = directory
        self.generation = generation
        self.shard_keys = shard_keys
        self.progress = progress
        self.weights = weights  # weight files, a bag or column, or None

    def key(self, what, number):
        return f"tessel-{what}-{self.generation}-{number}"

    def run(self, sources, unsorted):
        if isinstance(sources, list):
            return self.unsorted_files(sources) if unsorted else self.sorted_files(sources)
        return self.collection(sources)

    def gather(self, futures):
        """The results of the shard builds, in their order, with progress as they end."""
        results = [None] * len(futures)
        where = {future.key: number for number, future in enumerate(futures)}
        self.progress.update(0, len(futures))
        for done, future in enumerate(self.client.as_completed(futures), 1):
            results[where[future.key]] = future.result()
            self.progress.update(done, len(futures), results[where[future.key]].get("keys", 0))
        self.progress.finish()
        return results

    def sorted_files(self, files):
        plan = _plan.SortedPlan(files, self.shard_keys)
        futures = [self.client.submit(_tasks.build_range, path, start, end, self.directory,
                                      self.generation, n, key=self.key("range", n))
                   for n, (path, start, end) in enumerate(plan.ranges)]
        results = self.gather(futures)
        # A file that changed while it was read would give shards of another input.
        if [os.path.getsize(path) for path in plan.files] != plan.sizes:
            raise ValueError("a key file changed during the build")
        entries, total = plan.entries(results)
        if self.weights is not None:
            lines = self.weight_lines([entry["base"] for entry in entries], total)
            futures = [self.client.submit(
                _tasks.weigh_range, lines.segments(entry["base"], entry["lines"]),
                self.directory, self.generation, entry["number"],
                key=self.key("weigh", entry["number"])) for entry in entries]
            # Every task ends before a failure is raised: none then writes a companion after
            # the build was given up, and the first shard's failure is the one told.
            self.client.wait(futures)
            self.client.gather(futures)
        return entries, total

    def weight_lines(self, starts, total):
        """The weight files' lines, where `starts` begin; ValueError when they are not as
        many as the keys' `total`."""
        lines = _plan.WeightLines(self.weights, starts)
        if lines.total != total:
            files = self.weights[0] if len(self.weights) == 1 else "the weight files"
            raise ValueError(f"{files}: {lines.total} weight lines for {total} key lines")
        return lines

    def shuffle(self, pieces, boundaries, given):
        """Builds range r from piece futures that each hold one blob per range."""
        counts = [self.client.submit(_tasks.count, piece, key=self.key("count", p))
                  for p, piece in enumerate(pieces)]
        futures = []
        weighted = self.weights is not None
        for r in range(len(boundaries) + 1):
            parts = [self.client.submit(_tasks.part, piece, r, key=self.key(f"part{r}", p))
                     for p, piece in enumerate(pieces)]
            futures.append(self.client.submit(_tasks.build_framed, parts, self.directory,
                                              self.generation, r, weighted,
                                              key=self.key("build", r)))
        del pieces
        if given is None:
            given = sum(self.client.gather(counts))
        return _plan.unsorted_entries(self.gather(futures), given)

    def unsorted_files(self, files):
        sample = _plan.sample_lines(files, 100_000)
        sizes = [os.path.getsize(path) for path in files]
        per_line = max(1.0, sum(len(key) + 1 for key in sample) / max(len(sample), 1))
        ranges = _plan.range_count(int(sum(sizes) / per_line), self.shard_keys)
        boundaries = _plan.boundaries(sample, ranges) if sample else []
        spans = [(path, start, min(start + _PIECE_BYTES, size))
                 for path, size in zip(files, sizes) for start in range(0, size, _PIECE_BYTES)]
        segments = self.piece_weights(files, sizes) if self.weights is not None else \
            [None] * len(spans)
        pieces = [self.client.submit(_tasks.partition_lines, path, start, end, boundaries,
                                     segments[n], key=self.key("piece", n))
                  for n, (path, start, end) in enumerate(spans)]
        return self.shuffle(pieces, boundaries, None)

    def piece_weights(self, files, sizes):
        """For each piece of the key files, the segments of its weight lines: the key files'
        lines are counted here, once, to align the weights with them."""
        firsts, counts, first = [], [], 0
        for path, size in zip(files, sizes):
            before, lines = _plan.lines_before(path, list(range(0, size, _PIECE_BYTES)) + [size])
            firsts += [first + b for b in before[:-1]]
            counts += [after - b for b, after in zip(before, before[1:])]
            first += lines
        weights = self.weight_lines(firsts, first)
        return [weights.segments(start, count) for start, count in zip(firsts, counts)]

    def collection(self, collection):
        """A Dask bag or dataframe column: framed by the workers, sampled, then shuffled."""
        from dask import delayed  # pylint: disable=import-outside-toplevel

        parts = collection.to_delayed()
        weights = [None] * len(parts) if self.weights is None else self.weights.to_delayed()
        if len(weights) != len(parts):
            raise ValueError(f"the keys come in {len(parts)} partitions and the weights in "
                             f"{len(weights)}: give columns of one dataframe")
        framed = self.client.compute([delayed(_tasks.frame_partition)(part, weight)
                                      for part, weight in zip(parts, weights)])
        counts = self.client.gather([self.client.submit(operator.itemgetter(1, 2), f,
                                                        key=self.key("sample", n))
                                     for n, f in enumerate(framed)])
        sample = [key for keys, _ in counts for key in keys]
        given = sum(n for _, n in counts)
        boundaries = _plan.boundaries(sample, _plan.range_count(given, self.shard_keys)) \
            if sample else []
        pieces = [self.client.submit(_tasks.partition_framed, f, boundaries,
                                     self.weights is not None, key=self.key("split", n))
                  for n, f in enumerate(framed)]
        del framed
        return self.shuffle(pieces, boundaries, given)
