"""Tessel indexes on Dask collections: scanning many texts for the keys they contain, and
looking up a large column of keys, on the workers of a cluster.

Each worker process maps the index once (a file, or a sharded index's directory, on a file
system that every worker sees) and keeps it for the tasks that follow; the graph carries only
its path, never its contents. Opened again when the file or the manifest is replaced.

    import dask.bag, tessel.parallel
    texts = dask.bag.read_text("docs/*.txt")
    matches = tessel.parallel.findall(texts, "names.idx", longest=True, words=True,
                                      ignore_case=True)
    values = tessel.parallel.get_many(frame["name"], "names.idx")
"""

from __future__ import annotations

import os
import threading
import typing

__all__ = ["findall", "get_many"]

_StrPath = typing.Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# In each worker process: path -> (what the file was when opened, the open index).
_opened: dict = {}
_opening = threading.Lock()


def _stamp(path):
    """What tells a replaced index from the one opened: its file's (or manifest's) identity;
    None when there is nothing to look at (Index() then says why)."""
    target = os.path.join(path, "MANIFEST") if os.path.isdir(path) else path
    try:
        st = os.stat(target)
    except OSError:
        return None
    return st.st_dev, st.st_ino, st.st_mtime_ns, st.st_size


def _index(path):
    """The index at `path`, opened once in this process (again when it has been replaced).

    An index replaced while tasks run is not closed: the tasks in flight finish on the one they
    took, and it is unmapped when the last of them lets go of it."""
    from . import Index  # pylint: disable=import-outside-toplevel

    with _opening:
        stamp = _stamp(path)
        held = _opened.get(path)
        if held is not None and stamp is not None and held[0] == stamp:
            return held[1]
        index = Index(path)
        _opened[path] = (stamp, index)
        return index


def _findall_each(texts, path, options):
    index = _index(path)
    return [index.findall(text, **options) for text in texts]


def _get_many_each(keys, path, ignore_case):
    return _index(path).get_many(list(keys), ignore_case=ignore_case)


def _findall_series(series, path, options):
    import pandas  # type: ignore[import]  # pylint: disable=import-outside-toplevel

    return pandas.Series(_findall_each(series.tolist(), path, options), index=series.index,
                         name=series.name, dtype=object)


def _get_many_series(series, path, ignore_case):
    import pandas  # type: ignore[import]  # pylint: disable=import-outside-toplevel

    return pandas.Series(_get_many_each(series.tolist(), path, ignore_case), index=series.index,
                         name=series.name, dtype="int64")


def _path(index):
    path = os.path.abspath(os.fsdecode(index))
    if not os.path.exists(path):
        raise FileNotFoundError(2, os.strerror(2), path)
    return path


def _is_series(collection):
    return hasattr(collection, "to_delayed") and hasattr(collection, "dtype")


def findall(texts: typing.Any, index: _StrPath, *, longest: bool = False, words: bool = False,
            word_chars: typing.Union[str, bytes] = "", ignore_case: bool = False) -> typing.Any:
    """The matches of Index.findall(text, longest=, words=, word_chars=, ignore_case=) for
    each text of `texts`, a Dask bag of str or bytes, or a Dask dataframe column (a dask
    Series) of them: a bag, or a Series with the same index, of lists of (start, end, value).
    `index` is the path of an index file or of a sharded index, which every worker must see.
    Lazy, as Dask is: compute() the result."""
    path = _path(index)
    if not isinstance(word_chars, (str, bytes)):
        # Told here, not by a worker's task once the graph runs.
        raise TypeError(f"findall(): word_chars is str or bytes, not {type(word_chars).__name__}")
    options = {"longest": bool(longest), "words": bool(words), "word_chars": word_chars,
               "ignore_case": bool(ignore_case)}
    if _is_series(texts):
        return texts.map_partitions(_findall_series, path, options, meta=(texts.name, "object"))
    return texts.map_partitions(_findall_each, path, options)


def get_many(keys: typing.Any, index: _StrPath, *, ignore_case: bool = False) -> typing.Any:
    """The value of each key of `keys` (a Dask bag or a dataframe column of str or bytes),
    -1 for a non-key: a bag of ints, or an int64 Series with the same index, looked up by each
    partition's worker many at once, as Index.get_many(ignore_case=) does."""
    path = _path(index)
    if _is_series(keys):
        return keys.map_partitions(_get_many_series, path, bool(ignore_case),
                                   meta=(keys.name, "int64"))
    return keys.map_partitions(_get_many_each, path, bool(ignore_case))
