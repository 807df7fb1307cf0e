"""What the workers of a sharded build run: thin calls into the extension, which does the work
with the GIL released and names every file. Module-level functions, so that Dask sends them by
name."""

from .. import _tessel  # type: ignore[attr-defined]  # the extension, which the stub leaves out


def build_range(keys_path, start, end, directory, generation, number):
    """The lines of a sorted key file in [start, end) into shard `number` of the generation."""
    return _tessel._build_range(keys_path, start, end, directory, generation, number)


def partition_lines(path, start, end, boundaries):
    """The key lines that begin in [start, end) of a file: (framed, one bytes object per range;
    their number)."""
    return _tessel._partition_lines(path, start, end, boundaries)


def frame_partition(partition):
    """A partition of a Dask bag or dataframe column, str or bytes keys: (framed keys, a
    sample of about 2,000 of them, their number)."""
    keys = list(partition.tolist() if hasattr(partition, "tolist") else partition)
    framed, sample = _tessel._frame_keys(keys, max(1, len(keys) // 2000))
    return framed, sample, len(keys)


def partition_framed(framed, boundaries):
    """Framed keys (what frame_partition made): (one bytes object per range; their number)."""
    return _tessel._partition_framed(framed[0], boundaries), framed[2]


def part(piece, number):
    """Range `number`'s keys of a partitioned piece."""
    return piece[0][number]


def count(piece):
    """The number of keys of a partitioned piece."""
    return piece[1]


def build_framed(blobs, directory, generation, number):
    """The framed keys of all blobs, sorted and without repeats, into shard `number`."""
    return _tessel._build_framed(blobs, directory, generation, number)
