"""The plan of a sharded build, in pure functions of the input and of what the shards' builds
report: where sorted key files are cut, where unsorted keys are split, each shard's values
and lines, and the checks that what was built is the whole input. Nothing here touches the
index's directory (its owner, tessel._tessel._Directory, does) or Dask."""

from __future__ import annotations

import math
import os
import random

from .. import _tessel  # type: ignore[attr-defined]


class OrderError(ValueError):
    """Keys of a sorted build out of order: `path` and `line` (1-based) tell where."""

    def __init__(self, path: str, line: int) -> None:
        super().__init__(f"{path}:{line}: keys out of order")
        self.path = path
        self.line = line


def key_of(line):
    """A line's key, as tessel-build takes it: up to its newline or first NUL byte (the key
    list's one rule, in the extension)."""
    return _tessel._key_of(line)  # pylint: disable=protected-access


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


class SortedPlan:
    """Ranges of sorted key files, each file read on its own as `sort A B` reads them (its end
    ends its last line): about shard_keys keys a range, cut after a line, never inside a run
    of equal keys, never across files. A run that goes on from one file into the next stays
    with the first file's range: its lines in the next file are skipped by the ranges and
    counted with that range's shard.

    ranges[n] is (path, start, end) in bytes; file_of[n] its file's place in `files` (one
    file may be given twice); skipped[n] the lines skipped just before it (at the head of its
    file, and of files wholly skipped before that); trailing the lines skipped after the last
    range; sizes the files' sizes."""

    def __init__(self, files, shard_keys):
        self.files = list(files)
        self.sizes = [os.path.getsize(path) for path in self.files]
        self.ranges = []
        self.file_of = []
        self.skipped = []
        self.skipped_here = []  # of skipped[n], the lines at the head of range n's own file
        pending = 0
        last_key = None  # the last key of the list so far
        for number, (path, size) in enumerate(zip(self.files, self.sizes)):
            if size == 0:
                continue
            with open(path, "rb") as file:
                start = here = 0
                while last_key is not None and start < size and \
                        key_of(_line_at(file, start)) == last_key:
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
                            key_of(_line_before(file, end)) == key_of(_line_at(file, end)):
                        end = file.tell()
                    self.ranges.append((path, cut, end))
                    self.file_of.append(number)
                    self.skipped.append(pending)
                    self.skipped_here.append(here if cut == start else 0)
                    pending = 0
                    cut = end
                if start < size:
                    last_key = key_of(_line_before(file, size))
        self.trailing = pending

    def entries(self, results):
        """The shards' entries and the input's lines, from what each range's build reported
        (its entry and "lines", or "unsorted"). Each shard's lines take the skipped lines that
        follow it, so that each base is the lines before it. Raises OrderError at the first
        key out of order, ValueError when a range's result is not its own."""
        if len(results) != len(self.ranges):
            raise ValueError(f"{len(results)} results for {len(self.ranges)} ranges")
        first_line, line = [], 0
        for n, result in enumerate(results):
            if result.get("lines", 0) < 1:
                raise ValueError(f"{self.ranges[n][0]}: a range of no lines: "
                                 "the file changed during the build")
            line += self.skipped[n]
            first_line.append(line)
            line += result["lines"]
        total = line + self.trailing
        # The first key out of order: inside a range, or where one range meets the next.
        wrong = []
        for n, result in enumerate(results):
            if "unsorted" in result:
                wrong.append((first_line[n] + result["unsorted"], n, result["unsorted"]))
            # A range unsorted inside may also begin below the range before it, which is then
            # the first place out of order.
            if n > 0 and "unsorted" not in results[n - 1] and "first" in result and \
                    results[n - 1]["last"] >= result["first"]:
                wrong.append((first_line[n], n, 0))
        if wrong:
            _, n, local = min(wrong)
            in_file = self.skipped_here[n] + sum(
                results[m]["lines"] + self.skipped_here[m]
                for m in range(n) if self.file_of[m] == self.file_of[n])
            raise OrderError(self.ranges[n][0], in_file + local + 1)
        entries = []
        for n, result in enumerate(results):
            after = self.skipped[n + 1] if n + 1 < len(results) else self.trailing
            entries.append(dict(result, number=n, base=first_line[n],
                                lines=result["lines"] + after))
        return entries, total


def sample_lines(files, count, seed=1):
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
                    sample.append(key_of(line))
    return sample


def range_count(keys, shard_keys):
    """How many ranges `keys` unsorted keys (repeats included) are split into: about
    shard_keys keys each, as sorted files are."""
    return max(1, round(keys / shard_keys))


def boundaries(sample, ranges):
    """ranges - 1 keys cutting the sample in parts of equal size, distinct and increasing."""
    sample = sorted(sample)
    cuts = []
    for r in range(1, ranges):
        key = sample[len(sample) * r // ranges]
        if not cuts or key > cuts[-1]:
            cuts.append(key)
    return cuts


def unsorted_entries(results, given):
    """The shards' entries and their lines from the ranges' results, in range order: a range
    that no key fell in makes no shard; a key's value is its rank. `given` is the number of
    keys the input had: every one must have reached a range's build."""
    reached = sum(result.get("given", 0) for result in results)
    if reached != given:
        raise ValueError(f"{reached} of the input's {given} keys reached the shards' builds")
    entries, base = [], 0
    for number, result in enumerate(results):
        if result["keys"] > 0:
            entries.append(dict(result, number=number, base=base))
            base += result["lines"]
    return entries, base



_CHUNK = 1 << 20


def lines_before(path, offsets):
    """For each of `offsets` (ascending byte offsets of the file at `path`), the number of
    lines that begin before it by the key list's rule (a line begins at the file's start and
    after each newline but the file's last byte); and the file's lines."""
    counts = []
    newlines = read = 0
    last = b"\n"
    with open(path, "rb") as file:
        for offset in offsets:
            while read < offset - 1:
                chunk = file.read(min(_CHUNK, offset - 1 - read))
                if not chunk:
                    break
                newlines += chunk.count(b"\n")
                read += len(chunk)
                last = chunk[-1:]
            counts.append(0 if offset == 0 else 1 + newlines)
        while chunk := file.read(_CHUNK):
            newlines += chunk.count(b"\n")
            read += len(chunk)
            last = chunk[-1:]
    return counts, newlines + (read > 0 and last != b"\n")


class WeightLines:
    """Weight files taken as one list of lines, aligned with the key list's: where lines
    begin, so that a worker reads the weights of its lines from there. `starts` are the lines
    (0-based) whose places are wanted; segments() gives what _weigh_range() and
    _partition_lines() read."""

    def __init__(self, files, starts):
        self.files = list(files)
        self.lines = []
        self.places = {}  # line -> (file number, byte offset, line in the file)
        wanted = sorted(set(starts))
        first = 0  # the first line of the file being read
        for number, path in enumerate(self.files):
            found = []
            newlines = read = 0
            last = b"\n"
            with open(path, "rb") as file:
                if wanted and wanted[0] == first:
                    found.append((wanted.pop(0), 0))
                while chunk := file.read(_CHUNK):
                    at = 0
                    # Line k of the file begins after its k-th newline.
                    while wanted and wanted[0] - first - newlines <= chunk.count(b"\n", at):
                        for _ in range(wanted[0] - first - newlines):
                            at = chunk.index(b"\n", at) + 1
                        newlines = wanted[0] - first
                        found.append((wanted.pop(0), read + at))
                    newlines += chunk.count(b"\n", at)
                    read += len(chunk)
                    last = chunk[-1:]
            lines = newlines + (read > 0 and last != b"\n")
            # A place at the end of a file is the next file's first line.
            for line, offset in found:
                if line - first < lines:
                    self.places[line] = (number, offset, line - first)
                else:
                    wanted.append(line)
            wanted.sort()
            self.lines.append(lines)
            first += lines
        self.total = first

    def segments(self, start, count):
        """(path, offset, lines, line number) of lines [start, start + count)."""
        if count == 0:
            return []
        number, offset, line = self.places[start]
        out = []
        while count > 0 and number < len(self.files):
            take = min(count, self.lines[number] - line)
            if take > 0:
                out.append((self.files[number], offset, take, line + 1))
            count -= take
            number, offset, line = number + 1, 0, 0
        return out
