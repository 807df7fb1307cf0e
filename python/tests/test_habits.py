"""What people who come from dict, marisa-trie and datrie expect: the peers' names, views that
behave as dict's, any integer with __index__, queries that cannot be keys, an empty index, and
pickles that refer to the file."""

import collections.abc
import inspect
import operator
import os
import pickle
import shutil
import subprocess
import tempfile
import unittest

import tessel
from programs import tessel_lookup


class Number:
    """An integer in the way numpy's are: only __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Scratch(unittest.TestCase):
    KEYS = ["", "a", "ab", "abc", "abd", "b", "ba", "\xe9t\xe9"]

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-py-")
        self.path = os.path.join(self.dir, "keys.idx")
        tessel.build(self.KEYS, self.path)
        self.index = tessel.Index(self.path)

    def tearDown(self):
        self.index.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class PeerNames(Scratch):
    def test_prefix_searches_as_the_peers_name_them(self):
        index = self.index
        self.assertEqual(index.prefixes("abcz"), ["", "a", "ab", "abc"])
        self.assertEqual(index.prefix_items("abcz"), [("", 0), ("a", 1), ("ab", 2), ("abc", 3)])
        self.assertEqual(index.prefix_values("abcz"), [0, 1, 2, 3])
        self.assertEqual(index.longest_prefix("abx"), "ab")
        self.assertEqual(index.longest_prefix_item("abx"), ("ab", 2))
        tessel.build(["b"], self.path)
        with tessel.Index(self.path) as other:
            with self.assertRaises(KeyError):
                other.longest_prefix("a")
            with self.assertRaises(KeyError):
                other.longest_prefix_item("a")
            self.assertIsNone(other.longest_prefix("a", None))
            self.assertEqual(other.longest_prefix_item("a", ("none", -1)), ("none", -1))
        self.assertEqual(index.predict("ab", limit=2), [("ab", 2), ("abc", 3)])
        self.assertEqual(index.predict(prefix="ab"), [("ab", 2), ("abc", 3), ("abd", 4)])


class Views(Scratch):
    def test_views_are_iterable_again_sized_and_true_when_not_empty(self):
        keys = self.index.keys("ab")
        self.assertEqual(list(keys), ["ab", "abc", "abd"])
        self.assertEqual(list(keys), ["ab", "abc", "abd"])
        self.assertEqual(len(keys), 3)
        self.assertTrue(keys)
        self.assertFalse(self.index.keys("x"))
        self.assertEqual(len(self.index.keys("x")), 0)
        self.assertEqual(len(self.index.keys()), len(self.KEYS))
        self.assertEqual(list(self.index.values("b")), [5, 6])
        self.assertEqual(list(self.index.items("b")), [("b", 5), ("ba", 6)])
        self.assertEqual(sorted(self.index.keys()), sorted(self.KEYS))

    def test_membership_in_views(self):
        keys, items, values = self.index.keys("ab"), self.index.items("ab"), self.index.values("ab")
        self.assertIn("abc", keys)
        self.assertNotIn("a", keys)  # a key, but not below the prefix
        self.assertNotIn("abz", keys)
        self.assertIn(b"abc", keys)
        self.assertIn(("abd", 4), items)
        self.assertNotIn(("abd", 3), items)
        self.assertNotIn(("a", 1), items)
        self.assertNotIn("abd", items)
        self.assertIn(4, values)
        self.assertIn(4.0, values)  # equal, as dict's values view finds it
        self.assertNotIn(Number(4), values)
        self.assertNotIn(1, values)
        self.assertNotIn("4", values)
        with self.assertRaises(TypeError):
            1 in keys  # pylint: disable=pointless-statement

    def test_views_follow_their_index(self):
        keys = self.index.keys()
        self.index.close()
        for use in (lambda: list(keys), lambda: len(keys), lambda: bool(keys), lambda: "a" in keys):
            with self.assertRaises(ValueError):
                use()


class AsADict(Scratch):
    """Code written for dicts takes an index and its views."""

    def test_views_are_sets_as_dicts_views_are(self):
        index, same = self.index, dict(zip(self.KEYS, range(len(self.KEYS))))
        for op in (operator.and_, operator.or_, operator.sub, operator.xor):
            for other in ({"a", "zz"}, ["b", "q"], same.keys(), ("ab",)):
                self.assertEqual(op(index.keys(), other), op(same.keys(), other), (op, other))
                self.assertEqual(op(other, index.keys()), op(other, same.keys()), (op, other))
            pairs = {("a", 1), ("a", 2)}
            self.assertEqual(op(index.items(), pairs), op(same.items(), pairs))
        self.assertTrue(index.keys() == set(self.KEYS) == same.keys())
        self.assertTrue(index.keys() == same.keys() and index.items() == same.items())
        self.assertTrue(index.keys("a") != index.keys())
        self.assertFalse(index.values() == set(range(len(self.KEYS))))  # as dict's values
        self.assertTrue(index.keys().isdisjoint(["zz"]))
        self.assertFalse(index.items().isdisjoint([("a", 1)]))

    def test_mapping_habits(self):
        index = self.index
        self.assertIsInstance(index, collections.abc.Mapping)
        self.assertIsInstance(index.keys(), collections.abc.KeysView)
        self.assertIsInstance(index.values(), collections.abc.ValuesView)
        self.assertIsInstance(index.items(), collections.abc.ItemsView)
        self.assertEqual(dict(index), dict(zip(self.KEYS, range(len(self.KEYS)))))
        descending = sorted(self.KEYS, key=lambda k: k.encode(), reverse=True)
        self.assertEqual(list(reversed(index)), descending)
        self.assertEqual(list(reversed(index.keys("ab"))), ["abd", "abc", "ab"])
        self.assertEqual(list(reversed(index.items("b"))), [("ba", 6), ("b", 5)])
        self.assertEqual(list(reversed(index.values("x"))), [])
        keys = iter(index)
        next(keys)
        self.assertEqual(keys.__length_hint__(), len(self.KEYS) - 1)
        self.assertIs(iter(index.keys("a")).__length_hint__(), NotImplemented)
        # Objects of other types are no keys, as in a Mapping.
        for other in (1, None, 2.5, ("a",)):
            self.assertNotIn(other, index)
            self.assertEqual(index.get(other, "default"), "default")

    def test_types_are_generic_and_calls_have_signatures(self):
        for name in ("Index", "ShardedIndex"):
            for suffix in ("", "Iterator", "Keys", "Items"):
                self.assertIsNotNone(getattr(tessel, name + suffix)[str])
            self.assertIsNotNone(getattr(tessel, name + "Values")[int])
            reader = getattr(tessel, name)
            for method in dir(reader):
                call = getattr(reader, method)
                if callable(call) and (not method.startswith("_") or method == "__reversed__"):
                    self.assertIsNotNone(inspect.signature(call), method)


class Integers(Scratch):
    def test_anything_with_index_is_an_integer(self):
        self.assertEqual(self.index.restore_key(Number(2)), "ab")
        self.assertEqual(len(self.index.predict("", limit=Number(3))), 3)
        self.assertEqual(len(self.index.predict("", limit=2**100)), len(self.KEYS))
        with self.assertRaises(ValueError):
            self.index.predict("", limit=-1)
        with self.assertRaises(TypeError):
            self.index.predict("", limit=1.5)
        tessel.build(["a", "b"], self.path, values=[Number(7), Number(2**31 - 1)])
        with tessel.Index(self.path) as index:
            self.assertEqual(index.get_many(["a", "b"]), [7, 2**31 - 1])
        try:
            import numpy  # pylint: disable=import-outside-toplevel
        except ImportError:
            return
        tessel.build(["a", "b"], self.path, values=numpy.array([5, 6], dtype=numpy.int64))
        with tessel.Index(self.path) as index:
            self.assertEqual(index["b"], 6)
            self.assertEqual(index.restore_key(numpy.int32(5)), "a")


class Queries(Scratch):
    def test_a_str_that_has_no_bytes_is_no_key(self):
        lone = "a\ud800"
        self.assertNotIn(lone, self.index)
        self.assertIsNone(self.index.get(lone))
        with self.assertRaises(KeyError):
            self.index[lone]  # pylint: disable=pointless-statement
        self.assertEqual(self.index.get_many(["a", lone, "b"]), [1, -1, 5])
        self.assertEqual(self.index.prefixes(lone + "b"), ["", "a"])
        self.assertEqual(self.index.predict(lone), [])
        self.assertFalse(self.index.has_keys_with_prefix(lone))
        self.assertEqual(list(self.index.keys(lone)), [])
        self.assertNotIn(lone, self.index.keys())

    def test_one_str_or_bytes_is_not_a_list_of_queries(self):
        for queries in ("ab", b"ab", bytearray(b"ab")):
            with self.assertRaises(TypeError):
                self.index.get_many(queries)
        self.assertEqual(self.index.get_many(iter(["a", b"b"])), [1, 5])

    def test_get_many_over_many_chunks(self):
        # Lookups go in chunks of thousands: answers keep their places across the seams, and a
        # bad query far in fails the whole call.
        queries = ["a", "a\ud800", b"b", "zz", bytearray(b"a")] * 5003
        self.assertEqual(self.index.get_many(queries), [1, -1, 5, -1, 1] * 5003)
        with self.assertRaises(TypeError):
            self.index.get_many(queries + [7])
        self.assertEqual(self.index.get_many([]), [])


class EmptyAndPickled(Scratch):
    def test_an_empty_list_builds_an_empty_index(self):
        tessel.build([], self.path)
        self.assertEqual(os.path.getsize(self.path), 258 * 8)
        with tessel.Index(self.path) as index:
            self.assertEqual(len(index), 0)
            self.assertEqual(list(index), [])
            self.assertNotIn("", index)
            self.assertEqual(index.get_many(["", "a"]), [-1, -1])
            self.assertEqual(index.predict(""), [])
        lookup = tessel_lookup()
        if lookup:
            for option, expected in (("-n", "0\n"), ("-d", "")):
                done = subprocess.run([lookup, option, self.path], capture_output=True, text=True,
                                      check=False)
                self.assertEqual((done.returncode, done.stdout), (0, expected), done.stderr)

    def test_a_pickle_refers_to_the_file_by_its_absolute_path(self):
        here = os.getcwd()
        os.chdir(self.dir)
        try:
            pickled = pickle.dumps(tessel.Index("keys.idx", binary=True))
        finally:
            os.chdir(here)
        other = tempfile.mkdtemp()
        os.chdir(other)
        try:
            again = pickle.loads(pickled)
            self.assertTrue(again.binary)
            self.assertEqual(again.path, self.path)
            self.assertEqual(again["ab"], 2)
        finally:
            os.chdir(here)
            shutil.rmtree(other)


if __name__ == "__main__":
    unittest.main()
