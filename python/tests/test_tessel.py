"""Tests of the tessel package: answers against a dict and brute force, errors, threads, pickling
and damaged files. Run with `python3 -m unittest discover -s python/tests` once the package
is importable."""

import array
import copy
import gc
import os
import pickle
import random
import shutil
import stat
import struct
import tempfile
import threading
import unittest

import tessel

HERE = os.path.dirname(os.path.abspath(__file__))
# The sample key list of the tree, or the copy an sdist carries.
SAMPLE = next(path for path in (os.path.join(HERE, "words.txt"),
                                os.path.join(HERE, "..", "..", "examples", "words.txt"))
              if os.path.exists(path))


def sample_words():
    with open(SAMPLE, "rb") as words:
        return words.read().split(b"\n")[:-1]


def generated_keys(seed, count):
    """Byte strings over a small alphabet, NUL and bytes past 0x7f included, so that keys share
    prefixes and some are not UTF-8."""
    rng = random.Random(seed)
    alphabet = b"ab\x00\xc3\xa9\xff/"
    return [bytes(rng.choice(alphabet) for _ in range(rng.randrange(0, 12))) for _ in range(count)]


def decoded(key):
    return key.decode("utf-8", "surrogateescape")


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-py-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name="keys.idx"):
        return os.path.join(self.dir, name)

    def built(self, keys, values=None, binary=False, **options):
        tessel.build(keys, self.path(), values, **options)
        return tessel.Index(self.path(), binary=binary)


class RoundTrips(Scratch):
    def check_against_dict(self, keys, values=None):
        """Builds keys (any order, repeats allowed) and compares every query with a dict."""
        expected = {}
        for position, key in enumerate(keys):
            expected.setdefault(key, position if values is None else values[position])
        index = self.built(keys, values, binary=True, sort=True)
        self.assertEqual(len(index), len(expected))
        self.assertEqual(list(index), sorted(expected))
        self.assertEqual(list(index.items()), sorted(expected.items()))
        for key, value in expected.items():
            self.assertIn(key, index)
            self.assertEqual(index[key], value)
            self.assertEqual(index.restore_key(value), key)
        probes = [key + b"!" for key in expected] + [key[:-1] for key in expected if key]
        answers = index.get_many(probes)
        for probe, answer in zip(probes, answers):
            self.assertEqual(answer, expected.get(probe, -1))
            self.assertEqual(index.get(probe, -1), answer)
            self.assertEqual(probe in index, probe in expected)
        # The same values into a caller's buffer, which numpy and pandas take without a copy.
        out = array.array("q", [7]) * len(probes)
        self.assertIs(index.get_many(probes, out=out), out)
        self.assertEqual(out.tolist(), answers)
        return index, expected

    def test_get_many_into_a_buffer_refuses_what_does_not_fit(self):
        index = self.built(["a", "b"])
        for wrong, error in ((array.array("q", [0]), ValueError), (array.array("i", [0, 0]), TypeError),
                             (bytes(16), BufferError), (array.array("d", [0, 0]), TypeError),
                             (memoryview(bytearray(16)).cast("q", (1, 2)), TypeError)):
            with self.subTest(wrong=wrong), self.assertRaises(error):
                index.get_many(["a", "x"], out=wrong)
        try:
            import numpy  # pylint: disable=import-outside-toplevel
        except ImportError:
            return
        values = numpy.full(3, 9, dtype=numpy.int64)
        self.assertIs(index.get_many(["b", "x", "a"], out=values), values)
        self.assertEqual(values.tolist(), [1, -1, 0])
        # An array of keys exports a buffer, yet is a list of them, as a column's values are.
        for column in (numpy.array(["b", "x", "a"]), numpy.array(["b", "x", "a"], dtype=object)):
            self.assertEqual(index.get_many(column), [1, -1, 0])
        tessel.build(numpy.array(["p", "q"], dtype=object), self.path("column.idx"))
        self.assertEqual(list(tessel.Index(self.path("column.idx"))), ["p", "q"])

    def test_sample_words_as_str_and_bytes(self):
        words = sample_words()
        self.check_against_dict(words)
        index = self.built([decoded(w) for w in words])
        self.assertEqual(list(index), sorted(decoded(w) for w in set(words)))
        self.assertEqual(index[decoded(words[10])], 10)

    def test_generated_keys_with_nul_repeats_and_values(self):
        keys = generated_keys(1, 3000)
        self.check_against_dict(keys)
        rng = random.Random(2)
        self.check_against_dict(keys, [rng.randrange(2**31) for _ in keys])
        # One value for all: the first key in byte order comes back.
        index = self.built(keys, [7] * len(keys), sort=True, binary=True)
        self.assertEqual(index.restore_key(7), min(keys))

    def test_keys_that_are_not_utf8_come_back_and_find_themselves(self):
        keys = sorted(set(generated_keys(3, 500)))
        index = self.built(keys)
        for key, text in zip(keys, index):
            self.assertEqual(text, decoded(key))
            self.assertEqual(index[text], index[key])
        self.assertEqual(list(index.keys()), [decoded(k) for k in keys])

    def test_equal_keys_keep_the_first_value(self):
        index = self.built(["b", "a", "b", "a"], sort=True)
        self.assertEqual(list(index.items()), [("a", 1), ("b", 0)])
        index = self.built(["a", "a", "b"], values=[5, 6, 7])
        self.assertEqual(dict(index.items()), {"a": 5, "b": 7})


class Searches(Scratch):
    def setUp(self):
        super().setUp()
        self.keys = sorted(set(generated_keys(4, 2000)))
        self.index = self.built(self.keys, binary=True)
        self.value = {key: position for position, key in enumerate(self.keys)}

    def test_prefixes_against_brute_force(self):
        rng = random.Random(5)
        for _ in range(500):
            query = rng.choice(self.keys) + bytes(rng.choice(b"ab\xff") for _ in range(3))
            expected = [(query[:n], self.value[query[:n]]) for n in range(len(query) + 1)
                        if query[:n] in self.value]
            self.assertEqual(self.index.prefix_items(query), expected)
            self.assertEqual(self.index.prefixes(query), [key for key, _ in expected])
            self.assertEqual(self.index.prefix_values(query), [value for _, value in expected])
            self.assertEqual(self.index.longest_prefix_item(query, "none"),
                             expected[-1] if expected else "none")
            self.assertEqual(self.index.longest_prefix(query, "none"),
                             expected[-1][0] if expected else "none")

    def test_predictions_and_lazy_listings_against_brute_force(self):
        rng = random.Random(6)
        for _ in range(300):
            prefix = rng.choice(self.keys)[: rng.randrange(0, 4)]
            expected = [(k, self.value[k]) for k in self.keys if k.startswith(prefix)]
            limit = rng.choice([None, 0, 1, 5])
            self.assertEqual(self.index.predict(prefix, limit=limit),
                             expected if limit is None else expected[:limit])
            self.assertEqual(list(self.index.items(prefix)), expected)
            self.assertEqual(list(self.index.keys(prefix)), [k for k, _ in expected])
            self.assertEqual(list(self.index.values(prefix)), [v for _, v in expected])
            self.assertEqual(self.index.has_keys_with_prefix(prefix), bool(expected))
        self.assertEqual(self.index.predict(b"\x01"), [])

    def test_iterators_are_lazy_and_independent(self):
        first, second = iter(self.index), iter(self.index.keys())
        self.assertEqual(next(first), self.keys[0])
        self.assertEqual([next(second) for _ in range(3)], self.keys[:3])
        self.assertEqual(next(first), self.keys[1])

    def test_restore_key_misses(self):
        for value in (len(self.keys), -1, 2**31, 2**80):
            with self.assertRaises(KeyError):
                self.index.restore_key(value)
        with self.assertRaises(TypeError):
            self.index.restore_key("1")


class Errors(Scratch):
    def test_build_refuses_bad_keys_and_values(self):
        with self.assertRaisesRegex(ValueError, r"key 2 'a' comes after key 1 'c'"):
            tessel.build(["b", "c", "a"], self.path())
        with self.assertRaises(TypeError):
            tessel.build(["a", 1], self.path())
        # One key is no list of them: a str would give its characters.
        for one in ("abc", b"abc", bytearray(b"abc")):
            with self.assertRaisesRegex(TypeError, "an iterable of keys, not one "):
                tessel.build(one, self.path())
        with self.assertRaises(TypeError):
            tessel.build(["a"], self.path(), values=["1"])
        for values in ([-1], [2**31], [0, 1]):
            with self.assertRaises(ValueError):
                tessel.build(["a"], self.path(), values=values)
        with self.assertRaises(UnicodeEncodeError):
            tessel.build(["\ud800"], self.path())  # a lone surrogate is no byte
        self.assertFalse(os.path.exists(self.path()))

    def test_failed_build_keeps_the_old_index(self):
        tessel.build(["old"], self.path())
        with self.assertRaises(ValueError):
            tessel.build(["b", "a"], self.path())
        missing = os.path.join(self.dir, "no", "such", "dir.idx")
        with self.assertRaises(FileNotFoundError) as raised:
            tessel.build(["a"], missing)
        self.assertEqual(raised.exception.filename, missing)
        self.assertEqual(list(tessel.Index(self.path())), ["old"])
        self.assertEqual(sorted(os.listdir(self.dir)), ["keys.idx"])

    def test_opening_what_is_not_an_index(self):
        with self.assertRaises(FileNotFoundError) as raised:
            tessel.Index(self.path("missing.idx"))
        self.assertEqual(raised.exception.filename, self.path("missing.idx"))
        # A directory is a sharded index, or none: it holds no manifest.
        with self.assertRaisesRegex(ValueError, "^Not an Index: "):
            tessel.Index(self.dir)
        os.mkfifo(self.path("fifo"))
        with self.assertRaises(ValueError):
            tessel.Index(self.path("fifo"))  # at once: no writer is waited for
        with open(self.path("short"), "wb") as short:
            short.write(b"\x01" + b"\x00" * 100)
        with self.assertRaises(ValueError):
            tessel.Index(self.path("short"))
        with self.assertRaises(ValueError):
            tessel.Index.from_bytes(b"\x00" * 8 * 300)
        with self.assertRaises(TypeError):
            tessel.Index.from_bytes("text")
        if os.geteuid() != 0:
            tessel.build(["a"], self.path())
            os.chmod(self.path(), 0)
            with self.assertRaises(PermissionError):
                tessel.Index(self.path())

    def test_queries_of_other_types(self):
        index = self.built(["a"])
        # As in a Mapping: an object of another type is no key.
        self.assertNotIn(1, index)
        self.assertIsNone(index.get(2.5))
        self.assertEqual(index.get(None, "none"), "none")
        for wrong in (None, "b"):
            with self.assertRaises(KeyError):
                index[wrong]
        for call in (lambda: index.predict(3), lambda: index.get_many(["a", 4])):
            with self.assertRaises(TypeError):
                call()
        with self.assertRaises(ValueError):
            index.predict("", limit=-1)
        self.assertEqual(index[bytearray(b"a")], 0)

    def test_closed_index(self):
        index = self.built(["a", "b"])
        keys = iter(index)
        with index as same:
            self.assertIs(same, index)
        self.assertTrue(index.closed)
        for call in (lambda: "a" in index, lambda: len(index), lambda: index.predict(""),
                     lambda: next(keys), lambda: index.get_many(["a"]), lambda: list(index),
                     lambda: pickle.dumps(index)):
            with self.assertRaises(ValueError):
                call()
        index.close()


class Sharing(Scratch):
    def test_pickle_and_copy(self):
        index = self.built(["a", "b\xff"], binary=True)
        again = pickle.loads(pickle.dumps(index))
        self.assertEqual(list(again), [b"a", "b\xff".encode()])
        self.assertTrue(again.binary)
        self.assertEqual(again.path, self.path())
        self.assertIs(copy.copy(index), index)
        self.assertIs(copy.deepcopy(index), index)
        with open(self.path(), "rb") as data:
            memory = tessel.Index.from_bytes(bytearray(data.read()))
        again = pickle.loads(pickle.dumps(memory))
        self.assertIsNone(again.path)
        self.assertEqual(list(again), ["a", "b\xff"])

    def test_threads_query_one_index_and_close_it(self):
        keys = sorted(set(generated_keys(7, 5000)))
        index = self.built(keys, binary=True)
        queries = keys * 20
        errors = []

        def query():
            try:
                for _ in range(5):
                    self.assertEqual(index.get_many(queries)[: len(keys)], list(range(len(keys))))
                    self.assertEqual(index.predict(keys[0][:1], limit=3), index.predict(keys[0][:1])[:3])
            except ValueError:
                pass  # closed meanwhile
            except Exception as error:  # pylint: disable=broad-except
                errors.append(error)

        threads = [threading.Thread(target=query) for _ in range(4)]
        for thread in threads:
            thread.start()
        index.close()
        for thread in threads:
            thread.join()
        self.assertEqual(errors, [])


    def test_close_from_a_finalizer_inside_a_listing(self):
        keys = sorted(set(generated_keys(10, 3000)))
        for listing in (lambda index: index.predict(b""),
                        lambda index: index.prefix_items(max(keys, key=len) * 3)):
            index = self.built(keys, binary=True)
            expected = listing(index)

            class Closer:  # garbage with a cycle: collected by the next collection
                def __init__(self):
                    self.cycle = self

                def __del__(self):
                    index.close()

            threshold = gc.get_threshold()
            gc.set_threshold(1)  # a collection at almost every allocation of the listing
            try:
                Closer()
                found = listing(index)  # the index is closed when the listing is done
            finally:
                gc.set_threshold(*threshold)
            gc.collect()
            self.assertEqual(found, expected)
            self.assertTrue(index.closed)


class DamagedFiles(Scratch):
    def walked(self, walk):
        """What walk() lists, or [] when it raised for damage."""
        try:
            return walk()
        except ValueError as error:
            self.assertEqual(str(error), "Corrupt Index")
            return []

    def test_damaged_indexes_answer_or_raise_but_never_crash(self):
        keys = sorted(set(generated_keys(8, 800)))
        tessel.build(keys, self.path())
        with open(self.path(), "rb") as data:
            good = data.read()
        rng = random.Random(9)
        for round_ in range(60):
            units = bytearray(good)
            if round_ % 3 == 0:
                units = units[: 8 * rng.randrange(258, len(units) // 8)]
            for _ in range(rng.randrange(1, 50)):
                unit = rng.randrange(1, len(units) // 8)
                struct.pack_into("<iI", units, unit * 8, rng.randrange(-100, 400), rng.randrange(400))
            index = tessel.Index.from_bytes(bytes(units), binary=True)
            # A walk that meets a unit twice raises, as the tool reports it.
            listed = self.walked(lambda: list(index.items()))
            len(index)
            for key in keys[:50]:
                index.get(key)
                index.prefix_items(key)
                self.walked(lambda key=key: index.predict(key[:1], limit=20))
            index.get_many(keys)
            for value in range(20):
                try:
                    key = index.restore_key(value)
                except KeyError:
                    continue
                self.assertEqual(index[key], value)
            self.assertLessEqual(len(listed), len(units) // 8)


if __name__ == "__main__":
    unittest.main()
