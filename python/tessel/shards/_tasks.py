"""What the workers of a sharded build run: thin calls into the extension, which does the work
with the GIL released and names every file. Module-level functions, so that Dask sends them by
name."""

from .. import _tessel  # type: ignore[attr-defined]  # the extension, which the stub leaves out


def build_range(keys_path, start, end, directory, generation, number):
    """The lines of a sorted key file in [start, end) into shard `number` of the generation."""
    return _tessel._build_range(keys_path, start, end, directory, generation, number)


def weigh_range(segments, directory, generation, number):
    """The companion of shard `number` of the generation, from the weight lines of `segments`
    ((path, offset, lines, line number) each)."""
    return _tessel._weigh_range(segments, directory, generation, number)


def partition_lines(path, start, end, boundaries, segments=None):
    """The key lines that begin in [start, end) of a file: (framed, one bytes object per range;
    their number); weighted frames with the segments of their weight lines."""
    return _tessel._partition_lines(path, start, end, boundaries, segments)


def _listed(partition):
    return list(partition.tolist() if hasattr(partition, "tolist") else partition)


def frame_partition(partition, weights=None):
    """A partition of a Dask bag or dataframe column, str or bytes keys, and the same
    partition of their weights or None: (framed keys, a sample of about 2,000 of them, their
    number)."""
    keys = _listed(partition)
    if weights is not None:
        weights = _listed(weights)
        if len(weights) != len(keys):
            raise ValueError(f"a partition of {len(keys)} keys has {len(weights)} weights")
    framed, sample = _tessel._frame_keys(keys, max(1, len(keys) // 2000), weights)
    return framed, sample, len(keys)


def partition_framed(framed, boundaries, weighted=False):
    """Framed keys (what frame_partition made): (one bytes object per range; their number)."""
    return _tessel._partition_framed(framed[0], boundaries, weighted), framed[2]


def part(piece, number):
    """Range `number`'s keys of a partitioned piece."""
    return piece[0][number]


def count(piece):
    """The number of keys of a partitioned piece."""
    return piece[1]


def build_framed(blobs, directory, generation, number, weighted=False):
    """The framed keys of all blobs, sorted and without repeats, into shard `number`, with its
    companion when the frames are weighted."""
    return _tessel._build_framed(blobs, directory, generation, number, weighted)
