"""top(): the heaviest keys below a prefix, against a plain reading (every key below it, by
weight and then bytes), for an index file and for shards, from Python and tessel-lookup -t;
companion files that are missing, cut short, of another index or crafted."""

import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest

import tessel
from programs import make_shards, tessel_lookup, tessel_weights


def plain_top(keys, weights, prefix, n):
    """The n heaviest distinct keys that begin with prefix; a key's value is its first
    position and its weight the greatest of its equal keys'."""
    best = {}
    for position, (key, weight) in enumerate(zip(keys, weights)):
        value, most = best.get(key, (position, 0))
        best[key] = (value, max(most, weight))
    found = [(key, value, weight) for key, (value, weight) in best.items()
             if key.startswith(prefix)]
    found.sort(key=lambda f: (-f[2], f[0]))
    return found[:n]


class Top(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-top-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def shards(self, keys, weights, name, count):
        """A sharded index of the keys with the weights, by make-shards and tessel-weights,
        or None when they are not built."""
        if make_shards() is None or tessel_weights() is None:
            return None
        listed = os.path.join(self.dir, name + ".txt")
        with open(listed, "wb") as file:
            file.writelines(key + b"\n" for key in keys)
        weighed = os.path.join(self.dir, name + ".weights.txt")
        with open(weighed, "w", encoding="ascii") as file:
            file.writelines(f"{w}\n" for w in weights)
        directory = os.path.join(self.dir, name)
        os.mkdir(directory)
        subprocess.run([make_shards(), listed, directory, str(count)], check=True)
        subprocess.run([tessel_weights(), weighed, directory], check=True,
                       stdout=subprocess.DEVNULL)
        return directory

    def test_every_index_is_the_plain_reading(self):
        rng = random.Random(30)
        lookup = tessel_lookup()
        for round_ in range(25):
            alphabet = [b"a", b"b", b"A", b"\xc3\xa9", b"-"][:2 + round_ % 4]
            keys = sorted(b"".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 6)))
                          for _ in range(rng.randrange(1, 60)))
            top_weight = rng.choice([1, 5, 1000, 2**32 - 1])
            weights = [rng.randrange(top_weight + 1) for _ in keys]
            path = os.path.join(self.dir, f"{round_}.idx")
            tessel.build(keys, path, weights=weights)
            paths = [path] + [p for p in (self.shards(keys, weights, f"{round_}-{c}", c)
                                          for c in (1, 4)) if p]
            prefixes = [b"", b"a", b"b", b"ab", b"\xc3", b"zz"] + keys[:3]
            for where in paths:
                with tessel.Index(where, binary=True) as index:
                    for prefix in prefixes:
                        for n in (1, 3, 100):
                            self.assertEqual(index.top(prefix, n),
                                             plain_top(keys, weights, prefix, n),
                                             (where, prefix, n))
                if lookup is None:
                    continue
                out = subprocess.run([lookup, "-t", "3", where], check=False,
                                     input=b"".join(p + b"\n" for p in prefixes[:6]),
                                     capture_output=True).stdout.split(b"\n")
                for prefix in prefixes[:6]:
                    count = int(out.pop(0).split(b"\t")[0])
                    got = [out.pop(0).split(b"\t", 2) for _ in range(count)]
                    self.assertEqual([(k, int(v), int(w)) for v, w, k in got],
                                     plain_top(keys, weights, prefix, 3), (where, prefix))

    def test_ignoring_case_and_calls(self):
        path = os.path.join(self.dir, "words.idx")
        words = ["Pre", "pre", "prefix", "premium", "PREVIEW", "press"]
        tessel.build(words, path, weights=[len(w) for w in words], sort=True)
        with tessel.Index(path) as index:
            self.assertEqual(index.top("PRE", 2, ignore_case=True),
                             [("PREVIEW", 4, 7), ("premium", 3, 7)])
            self.assertEqual(index.top("pre", n=2), [("premium", 3, 7), ("prefix", 2, 6)])
            self.assertEqual(index.top(n=0), [])
            self.assertEqual(len(index.top(n=2**70)), len(words))
            with self.assertRaises(ValueError):
                index.top("p", -1)
            with self.assertRaises(TypeError):
                index.top("p", 1, True)  # pylint: disable=too-many-function-args
        # A stray byte begins no character: the heavier keys of é are no answer, the lighter
        # key of the stray byte is.
        tessel.build([b"\xc3x", b"\xc3\xa9a", b"\xc3\xa9b"], path, weights=[1, 10, 9])
        with tessel.Index(path, binary=True) as index:
            self.assertEqual(index.top(b"\xc3", 1, ignore_case=True), [(b"\xc3x", 0, 1)])
            self.assertEqual(index.top(b"\xc3\x89", 1, ignore_case=True),
                             [(b"\xc3\xa9a", 1, 10)])
        # No keys with weights is an index with weights; without, none stays.
        tessel.build([], path, weights=[])
        with tessel.Index(path) as index:
            self.assertEqual(index.top("", 3), [])
        tessel.build([], path)
        with tessel.Index(path) as index, self.assertRaises(FileNotFoundError):
            index.top("", 3)
        with self.assertRaises(ValueError):
            tessel.build(["a", "b"], path, weights=[1])
        with self.assertRaises(ValueError):
            tessel.build(["a"], path, weights=[2**32])

    def test_a_search_past_a_megabyte_of_paths_lists_every_key_in_order(self):
        # A search that holds many paths at once gives them in order.
        rng = random.Random(31)
        keys = sorted({b"%030d" % rng.randrange(10**30) for _ in range(40_000)})
        weights = [rng.randrange(50) for _ in keys]
        path = os.path.join(self.dir, "long.idx")
        tessel.build(keys, path, weights=weights)
        with tessel.Index(path, binary=True) as index:
            self.assertEqual(index.top(b"", len(keys)),
                             plain_top(keys, weights, b"", len(keys)))

    def test_companions_that_cannot_be_trusted(self):
        path = os.path.join(self.dir, "k.idx")
        other = os.path.join(self.dir, "other.idx")
        keys = [f"k{n:03}" for n in range(200)]
        tessel.build(keys, path, weights=range(200))
        tessel.build(keys[:-1] + ["k9"], other, weights=range(200))
        companion = path + ".weights"
        with open(companion, "rb") as file:
            good = file.read()

        def refused(content, message):
            with open(companion, "wb") as file:
                file.write(content)
            with tessel.Index(path) as index:
                with self.assertRaisesRegex(ValueError, message):
                    index.top("k")
                with self.assertRaisesRegex(ValueError, message):
                    index.verify()

        refused(good[:-4], "cut short")
        refused(b"x" * len(good), "no weights file")
        with open(other + ".weights", "rb") as file:
            refused(file.read(), "another index|cut short")
        damaged = bytearray(good)
        damaged[-1] ^= 1
        refused(bytes(damaged), "checksum")
        # A bound above its node's, with a checksum that fits: the order would be wrong.
        crafted = bytearray(good)
        count = (len(good) - 24) // 4
        bounds = list(struct.unpack(f"={count}I", good[24:]))
        at = max(range(count), key=lambda u: (bounds[u] != 0, -bounds[u]))
        bounds[at] = 2**32 - 1
        crafted[24:] = struct.pack(f"={count}I", *bounds)
        crafted[20:24] = struct.pack("=I", _crc32c(bytes(crafted[24:])))
        with open(companion, "wb") as file:
            file.write(crafted)
        with tessel.Index(path) as index:
            with self.assertRaisesRegex(ValueError, "Corrupt Index"):
                index.verify()
            # The companion is at fault, and named: the index's units are sound.
            with self.assertRaisesRegex(ValueError, r"Corrupt Index: .*k\.idx\.weights"):
                index.top("", 200)
        os.unlink(companion)
        with tessel.Index(path) as index:
            with self.assertRaises(FileNotFoundError):
                index.top("k")
            index.verify()  # no companion: nothing to check
        # Rebuilt without weights, the index keeps none.
        tessel.build(keys, path, weights=range(200))
        tessel.build(keys, path)
        self.assertFalse(os.path.exists(companion))


def _crc32c(data):
    """CRC-32C, bit by bit: what a crafter of companion files computes."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


if __name__ == "__main__":
    unittest.main()
