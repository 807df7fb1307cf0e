"""Build and query Tessel indexes: double-array tries of byte-string keys.

    tessel.build(["apple", "apricot", "banana"], "fruit.idx")
    with tessel.Index("fruit.idx") as index:
        index["banana"]          # 2
        index.predict("ap")      # [("apple", 0), ("apricot", 1)]

tessel.Index opens an index file or a sharded index (its directory or its MANIFEST) alike.
"""

from collections import abc as _abc

from ._tessel import (Index, IndexItems, IndexIterator, IndexKeys, IndexMatches, IndexValues,
                      __version__, build)

# The names of the sharded reader of 0.3, which Index now is.
ShardedIndex = Index
ShardedIndexItems = IndexItems
ShardedIndexIterator = IndexIterator
ShardedIndexKeys = IndexKeys
ShardedIndexMatches = IndexMatches
ShardedIndexValues = IndexValues

# Users pass indexes and their views to code written for dicts.
_abc.Mapping.register(Index)
_abc.KeysView.register(IndexKeys)
_abc.ValuesView.register(IndexValues)
_abc.ItemsView.register(IndexItems)

__all__ = ["Index", "IndexItems", "IndexIterator", "IndexKeys", "IndexMatches", "IndexValues",
           "ShardedIndex", "ShardedIndexItems", "ShardedIndexIterator", "ShardedIndexKeys",
           "ShardedIndexMatches", "ShardedIndexValues", "build"]
