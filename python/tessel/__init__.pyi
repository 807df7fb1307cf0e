"""Build and query Tessel indexes: double-array tries of byte-string keys.

Keys are byte strings. A str key or query is UTF-8; code points that the "surrogateescape"
error handler made from undecodable bytes become those bytes again, so a key that is not valid
UTF-8 comes back from a str index as such a str and finds itself again. Values are ints from
0 to 2**31 - 1.
"""

import os
from typing import Any, Iterable, Iterator, List, Optional, Tuple, TypeVar, Union, overload

_Key = Union[str, bytes]
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_T = TypeVar("_T")

__version__: str

def build(
    keys: Iterable[_Key], path: _Path, values: Optional[Iterable[int]] = None, *, sort: bool = False
) -> None:
    """Writes an index of `keys` to `path`.

    keys: str (stored as UTF-8) or bytes, any bytes, NUL included. They must be in byte order
    (equal keys may follow each other) unless `sort` is true, which sorts them by their bytes.
    values: one int from 0 to 2**31 - 1 per key; by default a key's position in `keys`. Among
    equal keys the first one's value is kept.

    The file is replaced as a whole (written beside it, synced, renamed over it): a failed build
    leaves no file and an old index untouched. The GIL is released while the trie is built and
    written.

    Raises ValueError for keys out of order (naming the position and both keys), no keys, a
    value out of range or a count of values other than of keys; TypeError for a key that is
    neither str nor bytes or a value that is no int; OSError (with the file name) when the file
    cannot be written; MemoryError.
    """

class Index:
    """An index file, mapped read-only in constant time.

    Keys come back as str (decoded as UTF-8 with "surrogateescape"), or as bytes when `binary`
    is true; queries may be either. Several threads may query one Index at once. A closed Index
    raises ValueError on use; close() while another thread is inside get_many() takes effect when
    that call ends. A damaged file gives ordinary answers or an exception, never a crash.
    """

    def __init__(self, path: _Path, *, binary: bool = False) -> None:
        """Maps the index at `path`.

        Raises FileNotFoundError, IsADirectoryError, PermissionError (OSError with the file name)
        when it cannot be opened; ValueError for a file that is not an index (a FIFO or a device
        included, refused at once).
        """
    @classmethod
    def from_bytes(cls, buffer: Any, *, binary: bool = False) -> "Index":
        """An index over any object with the buffer protocol; keeps a reference to it, which must
        not change while the index is open. Raises ValueError when it is not an index."""
    @property
    def binary(self) -> bool:
        """Whether keys come back as bytes."""
    @property
    def closed(self) -> bool:
        """Whether close() was called."""
    @property
    def path(self) -> Optional[_Path]:
        """The path that was opened; None for an index from from_bytes()."""
    def __contains__(self, key: object) -> bool:
        """Whether `key` (str or bytes) is a key. TypeError for other types."""
    def __getitem__(self, key: _Key) -> int:
        """The value of `key`; KeyError when it is not a key."""
    def get(self, key: _Key, default: _T = None) -> Union[int, _T]:  # type: ignore[assignment]
        """The value of `key`, or `default` when it is not a key."""
    def __len__(self) -> int:
        """The number of keys, counted in one pass over the file on the first call and kept."""
    def __iter__(self) -> Iterator[_Key]:
        """The keys, lazily, in byte order."""
    def keys(self, prefix: _Key = "") -> Iterator[_Key]:
        """The keys that begin with `prefix`, lazily, in byte order."""
    def values(self, prefix: _Key = "") -> Iterator[int]:
        """The values of those keys, in the keys' byte order."""
    def items(self, prefix: _Key = "") -> Iterator[Tuple[_Key, int]]:
        """(key, value) for those keys, in byte order."""
    def prefixes(self, query: _Key) -> List[Tuple[_Key, int]]:
        """(key, value) for every key that is a prefix of `query`, shortest first."""
    @overload
    def longest_prefix(self, query: _Key) -> Optional[Tuple[_Key, int]]:
        """(key, value) for the longest key that is a prefix of `query`, or `default`."""
    @overload
    def longest_prefix(self, query: _Key, default: _T) -> Union[Tuple[_Key, int], _T]: ...
    def predict(self, prefix: _Key, limit: Optional[int] = None) -> List[Tuple[_Key, int]]:
        """(key, value) for the keys that begin with `prefix`, in byte order, at most `limit`
        of them (ValueError when negative)."""
    def has_keys_with_prefix(self, prefix: _Key) -> bool:
        """Whether some key begins with `prefix`."""
    def restore_key(self, value: int) -> _Key:
        """The key that has `value` (the first in byte order when several share it); KeyError
        when none has. The first call walks the trie and keeps up to 12 bytes per unit."""
    def get_many(self, queries: Iterable[_Key]) -> List[int]:
        """The value of each query, -1 for a non-key; releases the GIL while it looks them up,
        many at once."""
    def close(self) -> None:
        """Unmaps the index; later use raises ValueError. Closing twice is allowed."""
    def __enter__(self) -> "Index": ...
    def __exit__(self, *args: object) -> None: ...
    def __reduce__(self) -> Tuple[Any, ...]:
        """A mapped index pickles its path, one from from_bytes() its bytes."""
    def __copy__(self) -> "Index": ...
    def __deepcopy__(self, memo: Any) -> "Index": ...
