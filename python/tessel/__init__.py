"""Build and query Tessel indexes: double-array tries of byte-string keys.

    tessel.build(["apple", "apricot", "banana"], "fruit.idx")
    with tessel.Index("fruit.idx") as index:
        index["banana"]          # 2
        index.predict("ap")      # [("apple", 0), ("apricot", 1)]
"""

from ._tessel import (Index, IndexItems, IndexIterator, IndexKeys, IndexMatches, IndexValues,
                      ShardedIndex, ShardedIndexItems, ShardedIndexIterator, ShardedIndexKeys,
                      ShardedIndexMatches, ShardedIndexValues, __version__, build)

__all__ = ["Index", "IndexItems", "IndexIterator", "IndexKeys", "IndexMatches", "IndexValues",
           "ShardedIndex", "ShardedIndexItems", "ShardedIndexIterator", "ShardedIndexKeys",
           "ShardedIndexMatches", "ShardedIndexValues", "build"]
