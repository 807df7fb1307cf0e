"""Build and query Tessel indexes: double-array tries of byte-string keys.

    tessel.build(["apple", "apricot", "banana"], "fruit.idx")
    with tessel.Index("fruit.idx") as index:
        index["banana"]          # 2
        index.predict("ap")      # [("apple", 0), ("apricot", 1)]
"""

from collections import abc as _abc

from ._tessel import (Index, IndexItems, IndexIterator, IndexKeys, IndexMatches, IndexValues,
                      ShardedIndex, ShardedIndexItems, ShardedIndexIterator, ShardedIndexKeys,
                      ShardedIndexMatches, ShardedIndexValues, __version__, build)

# Users pass indexes and their views to code written for dicts.
_abc.Mapping.register(Index)
_abc.Mapping.register(ShardedIndex)
for _reader in ("Index", "ShardedIndex"):
    _abc.KeysView.register(globals()[_reader + "Keys"])
    _abc.ValuesView.register(globals()[_reader + "Values"])
    _abc.ItemsView.register(globals()[_reader + "Items"])
del _reader

__all__ = ["Index", "IndexItems", "IndexIterator", "IndexKeys", "IndexMatches", "IndexValues",
           "ShardedIndex", "ShardedIndexItems", "ShardedIndexIterator", "ShardedIndexKeys",
           "ShardedIndexMatches", "ShardedIndexValues", "build"]
