"""Build and query Tessel indexes: double-array tries of byte-string keys.

Keys are byte strings. A str key or query is UTF-8; code points that the "surrogateescape"
error handler made from undecodable bytes become those bytes again, so a key that is not valid
UTF-8 comes back from a str index as such a str and finds itself again. A str that has no bytes
(a lone surrogate that no byte escapes to) is no key: `in` is False, get() gives the default.
Values are ints from 0 to 2**31 - 1; wherever an int is taken, anything with __index__ (numpy's
integers) will do.
"""

import os
from collections.abc import ItemsView, KeysView, Mapping, ValuesView
from _typeshed import ReadableBuffer, WriteableBuffer
from typing import (Any, Callable, Dict, Generic, Iterable, Iterator, List, Literal, Optional,
                    SupportsIndex, Tuple, TypeVar, Union, final, overload)

_K = TypeVar("_K", str, bytes)
_T = TypeVar("_T")
_W = TypeVar("_W", bound=WriteableBuffer)
_Query = Union[str, ReadableBuffer]
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Text = Union[str, ReadableBuffer]

__version__: str

def build(
    keys: Iterable[_Query],
    path: _Path,
    values: Optional[Iterable[SupportsIndex]] = None,
    *,
    sort: bool = False,
    weights: Optional[Iterable[SupportsIndex]] = None,
) -> None:
    """Writes an index of `keys` to `path`.

    keys: str (stored as UTF-8) or bytes, any bytes, NUL included. They must be in byte order
    (equal keys may follow each other) unless `sort` is true, which sorts them by their bytes.
    No keys make an empty index. values: one int from 0 to 2**31 - 1 per key; by default a
    key's position in `keys`. Among equal keys the first one's value is kept. weights: one int
    from 0 to 2**32 - 1 per key, for Index.top(), written to the companion file `path` +
    ".weights" (equal keys take the greatest); without them a companion of an earlier build
    is removed.

    The file is replaced as a whole (written beside it, synced, renamed over it): a failed or
    interrupted build leaves no file behind and an old index untouched. The GIL is released
    while the keys are sorted and the trie is built and written; Ctrl-C stops the build within
    about 0.2 s with KeyboardInterrupt. An interrupt that comes after the new index has taken
    the old one's place is raised when the call has returned.

    Raises ValueError for keys out of order (naming the position and both keys), a value out of
    range or a count of values other than of keys; TypeError for a key that is neither str nor
    bytes, one str or bytes given for `keys`, or a value that is no integer; UnicodeEncodeError for a str that has no bytes;
    OSError (with the file name) when the file cannot be written; MemoryError.
    """

@final
class Index(Mapping[_K, int]):
    """An index, mapped read-only: an index file, or a sharded index (a directory of index
    files, each holding one range of the sorted keys, and its MANIFEST, built by
    tessel.shards.build()) that answers as one, its values up to 2**63 - 1.

    Keys come back as str (decoded as UTF-8 with "surrogateescape"), or as bytes when `binary`
    is true; queries may be either. Several threads may query one Index at once. A closed Index
    raises ValueError on use; close() while another thread is inside get_many() or a listing
    takes effect when that call ends. A damaged file gives ordinary answers or an exception
    (ValueError "Corrupt Index", naming the file or shard), never a crash, and never a value
    outside a shard's range. Each call raises its own failure: a shard that cannot be read
    raises (FileNotFoundError naming it) in the calls that need it, and the others answer.
    A sharded index of at most 32,765 shards (half of vm.max_map_count) maps every shard when
    it is opened, so that a rebuild into the directory leaves it reading the generation it
    opened; a larger one maps each shard on first use, and a shard removed or replaced since
    the index was opened then fails the calls that need it. Index cannot be subclassed.
    """

    @overload
    def __new__(cls, path: _Path, *, binary: Literal[False] = False) -> "Index[str]":
        """Maps the index at `path`: an index file, or a sharded index's directory or
        MANIFEST.

        Raises FileNotFoundError, PermissionError (OSError with the file name) when it or a
        shard cannot be opened; ValueError for a file that is not an index (a FIFO or a device
        included, refused at once) or a directory without a manifest ("Not an Index"), a
        damaged or hostile manifest ("Bad Manifest": its line and why, such as a file outside
        the directory, ranges out of order, a size that differs) or a shard that is not an
        index ("Corrupt Index").
        """
    @overload
    def __new__(cls, path: _Path, *, binary: Literal[True]) -> "Index[bytes]": ...
    @overload
    def __new__(cls, path: _Path, *, binary: bool) -> "Index[Any]": ...
    @overload
    @classmethod
    def from_bytes(cls, __buffer: ReadableBuffer, *, binary: Literal[False] = False) -> "Index[str]":
        """An index over any object with the buffer protocol; keeps a reference to it, which
        must not change while the index is open. Raises ValueError when it is not an index."""
    @overload
    @classmethod
    def from_bytes(cls, __buffer: ReadableBuffer, *, binary: Literal[True]) -> "Index[bytes]": ...
    @overload
    @classmethod
    def from_bytes(cls, __buffer: ReadableBuffer, *, binary: bool) -> "Index[Any]": ...
    @property
    def binary(self) -> bool:
        """Whether keys come back as bytes."""
    @property
    def closed(self) -> bool:
        """Whether close() was called."""
    @property
    def path(self) -> Optional[Union[str, bytes]]:
        """The path that was opened; None for an index from from_bytes()."""
    @property
    def sharded(self) -> bool:
        """Whether the index is a sharded one."""
    @property
    def shards(self) -> Optional[List[Dict[str, Any]]]:
        """A sharded index's manifest entries, one dict per shard: file, keys, lines, base,
        bytes, crc32c, first and last key (bytes); None for an index file."""
    def verify(self) -> None:
        """Checks every byte that can be checked: an index file's units form a tree; a sharded
        index's shards match the manifest's checksums, their keys their ranges and its
        counts. ValueError ("Corrupt Index" naming the file or shard, or "Bad Manifest" with
        its line) for the first fault. The GIL is released meanwhile."""
    def __contains__(self, key: object, /) -> bool:
        """Whether `key` (str or bytes) is a key. TypeError for other types."""
    def __getitem__(self, key: _Query, /) -> int:
        """The value of `key`; KeyError when it is not a key."""
    @overload
    def get(self, __key: _Query) -> Optional[int]:
        """The value of `key`, or `default` (None) when it is not a key."""
    @overload
    def get(self, __key: _Query, __default: _T) -> Union[int, _T]: ...
    def __len__(self) -> int:
        """The number of keys: of a file, counted in one pass over it on the first call and
        kept; of a sharded index, as its manifest counts them."""
    def __reversed__(self) -> "IndexIterator[_K]":
        """The keys in descending byte order."""
    def __iter__(self) -> "IndexIterator[_K]":
        """The keys, lazily, in byte order."""
    def keys(self, prefix: _Query = "", /) -> "IndexKeys[_K]":
        """A view of the keys that begin with `prefix`, in byte order, as dict.keys() is:
        iterable again and again, len() counted on demand, false when no key has the prefix,
        `key in view` in time of the key's length."""
    def values(self, prefix: _Query = "", /) -> "IndexValues":
        """A view of those keys' values, in the keys' byte order."""
    def items(self, prefix: _Query = "", /) -> "IndexItems[_K]":
        """A view of (key, value) for those keys, in byte order."""
    def prefixes(self, query: _Query, /, *, ignore_case: bool = False) -> List[_K]:
        """The keys that are prefixes of `query`, shortest first. With `ignore_case`, the keys
        that match a prefix of it ignoring case (as findall() defines it), as stored: shortest
        first by the query's length, and of one length in byte order."""
    def prefix_items(self, query: _Query, /, *,
                     ignore_case: bool = False) -> List[Tuple[_K, int]]:
        """(key, value) for every key that is a prefix of `query`, shortest first."""
    def prefix_values(self, query: _Query, /, *, ignore_case: bool = False) -> List[int]:
        """The values of the keys that are prefixes of `query`, shortest first."""
    @overload
    def longest_prefix(self, __query: _Query) -> _K:
        """The longest key that is a prefix of `query`; KeyError when none is, unless a
        `default` is given."""
    @overload
    def longest_prefix(self, __query: _Query, __default: _T) -> Union[_K, _T]: ...
    @overload
    def longest_prefix_item(self, __query: _Query) -> Tuple[_K, int]:
        """(key, value) for the longest key that is a prefix of `query`; KeyError when none
        is, unless a `default` is given."""
    @overload
    def longest_prefix_item(self, __query: _Query, __default: _T) -> Union[Tuple[_K, int], _T]: ...
    def predict(
        self, prefix: _Query = "", limit: Optional[SupportsIndex] = None, *,
        ignore_case: bool = False
    ) -> List[Tuple[_K, int]]:
        """(key, value) for the keys that begin with `prefix`, in byte order, at most `limit`
        of them (ValueError when negative; a limit past the number of keys is none). With
        `ignore_case`, the keys that begin with a match of `prefix` ignoring case."""
    def top(self, prefix: _Query = "", n: SupportsIndex = 10, *,
            ignore_case: bool = False) -> List[Tuple[_K, int, int]]:
        """(key, value, weight) for the `n` keys that begin with `prefix` with the greatest
        weights, ties in byte order of the keys: a best-first search that visits about n x
        depth nodes. With `ignore_case`, the keys that begin with a match of `prefix` ignoring
        case. The weights are the companion file's (build(weights=...), or tessel-weights for
        any index, a sharded one too): FileNotFoundError names it when there is none,
        ValueError when it is cut short, damaged or of another index."""
    def has_keys_with_prefix(self, prefix: _Query, /) -> bool:
        """Whether some key begins with `prefix`."""
    def restore_key(self, value: SupportsIndex, /) -> _K:
        """The key that has `value` (the first in byte order when several share it); KeyError
        when none has. The first call walks the trie and keeps up to 12 bytes per unit."""
    @overload
    def get_many(self, __queries: Iterable[_Query], out: None = None, *,
                 ignore_case: bool = False) -> List[int]:
        """The value of each query, -1 for a non-key; releases the GIL while it looks them up,
        many at once. TypeError for one str or bytes: give a list of queries.

        With `out`, a writable one-dimensional buffer of as many signed 64-bit integers
        (numpy's int64 array, array('q')), the values are written there and `out` is
        returned: numpy and pandas take it without a copy. TypeError for another buffer,
        ValueError for another length. With `ignore_case`, the value of the first key in byte
        order that matches the query ignoring case (as findall() defines it)."""
    @overload
    def get_many(self, __queries: Iterable[_Query], out: _W, *,
                 ignore_case: bool = False) -> _W: ...
    def findall(
        self, text: _Text, /, *, longest: bool = False, words: bool = False,
        word_chars: Union[str, bytes] = "", ignore_case: bool = False
    ) -> List[Tuple[int, int, int]]:
        """(start, end, value) for each key that occurs in `text`: every match, by position
        and shortest first, overlapping ones included; with `longest`, the longest key at the
        first position where one starts, then on from its end (no two overlap); with `words`,
        only keys that start and end at word boundaries (places not between two word bytes:
        ASCII letters, digits and "_", the bytes of UTF-8 characters that are letters, marks,
        numbers or connector punctuation, bytes that are no part of a UTF-8 character, and
        the characters of `word_chars`, as "-" keeps "flask-login" one word). The empty key
        never matches. With `ignore_case`, a key matches where its characters equal the
        text's after Unicode simple case folding (a byte that is no part of UTF-8 matches only
        itself): (start, end) is the text's span, and at one place and length the keys come
        in byte order; longest takes the first of them.

        A str is scanned as its UTF-8 bytes and start and end count characters (a key whose
        bytes begin or end inside a character is no match of a str); bytes and other buffers
        count bytes, and a buffer is copied first, so that it may change meanwhile. The GIL is
        released while the text is scanned; Ctrl-C stops a long scan with KeyboardInterrupt.
        Raises TypeError for a text that is neither str nor a buffer, UnicodeEncodeError for a
        str with a surrogate that no byte escapes to."""
    def finditer(
        self, text: _Text, /, *, longest: bool = False, words: bool = False,
        word_chars: Union[str, bytes] = "", ignore_case: bool = False
    ) -> "IndexMatches":
        """The matches of findall(), found as they are asked for, a few thousand at a time
        without the GIL; ValueError once the index is closed."""
    @overload
    def sub(self, repl: Union[str, Callable[[int, int, int], str]], text: str, *,
            words: bool = False, ignore_case: bool = False, count: SupportsIndex = 0,
            word_chars: Union[str, bytes] = "") -> str: ...
    @overload
    def sub(self, repl: Union[ReadableBuffer, Callable[[int, int, int], bytes]],
            text: ReadableBuffer, *, words: bool = False, ignore_case: bool = False,
            count: SupportsIndex = 0, word_chars: Union[str, bytes] = "") -> bytes:
        """The text with each leftmost-longest match (findall(text, longest=True, words=words))
        replaced, as re.sub does: by `repl`, or by what repl(start, end, value) returns, a str
        for a str and bytes for bytes; only the first `count` matches when count > 0, none
        when it is below 0. A str's characters outside the matches stay as they were. The
        GIL is released while the text is scanned. With `ignore_case`, the matches are those
        of findall(text, longest=True, ignore_case=True)."""
    @overload
    def subn(self, repl: Union[str, Callable[[int, int, int], str]], text: str, *,
             words: bool = False, ignore_case: bool = False,
             count: SupportsIndex = 0,
             word_chars: Union[str, bytes] = "") -> Tuple[str, int]: ...
    @overload
    def subn(self, repl: Union[ReadableBuffer, Callable[[int, int, int], bytes]],
             text: ReadableBuffer, *, words: bool = False, ignore_case: bool = False,
             count: SupportsIndex = 0,
             word_chars: Union[str, bytes] = "") -> Tuple[bytes, int]:
        """(sub()'s text, the number of matches replaced)."""
    def close(self) -> None:
        """Unmaps the index; later use raises ValueError. Closing twice is allowed."""
    def __enter__(self) -> "Index[_K]": ...
    def __exit__(self, *args: object) -> None: ...
    def __reduce__(self) -> Tuple[Any, ...]:
        """A mapped index pickles its absolute path: the pickle refers to the file, not its
        contents, and opens it again from any directory. One from from_bytes() pickles its
        bytes."""
    def __setstate__(self, state: Any, /) -> None: ...
    def __copy__(self) -> "Index[_K]": ...
    def __deepcopy__(self, memo: Any, /) -> "Index[_K]": ...
    def __class_getitem__(cls, item: Any, /) -> Any: ...

@final
class IndexIterator(Iterator[_T], Generic[_T]):
    """The keys, values or items below a prefix, in byte order, lazily. Made by an Index."""

    def __iter__(self) -> "IndexIterator[_T]": ...
    def __next__(self) -> _T: ...
    def __length_hint__(self) -> int:
        """The items left when every key is listed; NotImplemented below a prefix."""
    def __class_getitem__(cls, item: Any, /) -> Any: ...

@final
class IndexMatches(Iterator[Tuple[int, int, int]]):
    """Index.finditer(text): (start, end, value) of each key found in the text. Made by an
    Index."""

    def __iter__(self) -> "IndexMatches": ...
    def __next__(self) -> Tuple[int, int, int]: ...

@final
class IndexKeys(KeysView[_K]):
    """Index.keys(prefix): the keys below a prefix. Made by an Index."""

    def __iter__(self) -> IndexIterator[_K]: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __reversed__(self) -> IndexIterator[_K]: ...
    def __class_getitem__(cls, item: Any, /) -> Any: ...
    def isdisjoint(self, other: Iterable[Any], /) -> bool: ...

@final
class IndexValues(ValuesView[int]):
    """Index.values(prefix): their values; `in` walks them, as dict's values view does."""

    def __iter__(self) -> IndexIterator[int]: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def __contains__(self, value: object, /) -> bool: ...
    def __reversed__(self) -> IndexIterator[int]: ...
    def __class_getitem__(cls, item: Any, /) -> Any: ...

@final
class IndexItems(ItemsView[_K, int]):
    """Index.items(prefix): (key, value) below a prefix; `in` is a lookup."""

    def __iter__(self) -> IndexIterator[Tuple[_K, int]]: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def __contains__(self, item: object, /) -> bool: ...
    def __reversed__(self) -> IndexIterator[Tuple[_K, int]]: ...
    def __class_getitem__(cls, item: Any, /) -> Any: ...
    def isdisjoint(self, other: Iterable[Any], /) -> bool: ...

# The names of 0.3's sharded reader: Index opens a sharded index too.
ShardedIndex = Index
ShardedIndexIterator = IndexIterator
ShardedIndexMatches = IndexMatches
ShardedIndexKeys = IndexKeys
ShardedIndexValues = IndexValues
ShardedIndexItems = IndexItems
