"""ignore_case=True: findall, finditer, sub, prefixes, predict and get_many against a plain
reading of the definition, which folds with the Unicode data's own CaseFolding.txt, on an
index file and on shards, with keys and texts that mix case, Greek, Cyrillic, the long s, the
Kelvin and Angstrom signs, the Turkish i's, bytes that are no UTF-8, and NUL."""

import os
import random
import shutil
import subprocess
import tempfile
import unittest

import tessel
from programs import make_shards
from test_scan import word_bytes  # pylint: disable=import-error

CASE_FOLDING = "/usr/share/unicode/CaseFolding.txt"


def read_folding():
    """Simple case folding: statuses C and S, one code point to one."""
    fold = {}
    with open(CASE_FOLDING, encoding="utf-8") as file:
        for line in file:
            fields = [f.strip() for f in line.split("#")[0].split(";")]
            if len(fields) >= 3 and fields[1] in ("C", "S"):
                fold[int(fields[0], 16)] = int(fields[2], 16)
    return fold


class Plain:
    """What matches, read off the definition: a key matches where its characters, as many as
    it has, equal the text's after simple case folding; a byte that is no part of well-formed
    UTF-8 matches only itself."""

    def __init__(self, fold):
        self.fold = fold

    def unit_at(self, data, i):
        """(what must be equal, its length in bytes) of the character or byte at data[i]."""
        for n in (1, 2, 3, 4):
            try:
                char = data[i:i + n].decode("utf-8")
            except UnicodeDecodeError:
                continue
            if len(char) == 1:
                return ("c", self.fold.get(ord(char), ord(char))), n
            break
        return ("b", data[i]), 1

    def units(self, data):
        out, i = [], 0
        while i < len(data):
            unit, n = self.unit_at(data, i)
            out.append(unit)
            i += n
        return out

    def span(self, key, text, at):
        """The length of text that key matches at `at`, or None."""
        pos = at
        for unit in self.units(key):
            if pos >= len(text):
                return None
            got, n = self.unit_at(text, pos)
            if got != unit:
                return None
            pos += n
        return pos - at

    def findall(self, keys, text, longest, words):
        word = word_bytes(text)

        def boundary(at):
            return at in (0, len(text)) or not (word[at - 1] and word[at])

        chosen, start = [], 0
        for at in range(len(text)):
            found = []
            for value, key in enumerate(keys):  # in byte order
                span = self.span(key, text, at) if key else None
                if span is not None and (not words or boundary(at) and boundary(at + span)):
                    found.append((at, at + span, value))
            found.sort(key=lambda m: m[1])  # stable: keys of one span stay in byte order
            if not longest:
                chosen += found
            elif found and at >= start:
                best = max(end for _, end, _ in found)
                chosen.append(next(m for m in found if m[1] == best))
                start = best
        return chosen

    def find(self, keys, query):
        return next((value for value, key in enumerate(keys)
                     if self.units(key) == self.units(query)), -1)

    def prefixes(self, keys, query):
        found = [(self.span(key, query, 0), key) for key in keys]
        return [key for span, key in sorted((f for f in found if f[0] is not None),
                                            key=lambda f: f[0])]

    def predict(self, keys, prefix):
        units = self.units(prefix)
        return [(key, value) for value, key in enumerate(keys)
                if self.units(key)[:len(units)] == units]


@unittest.skipUnless(os.path.isfile(CASE_FOLDING), "no Unicode data (Debian's unicode-data)")
class IgnoreCase(unittest.TestCase):
    ALPHABET = ["a", "A", "k", "K", "\u212a", "s", "S", "\u017f", "\u00e5", "\u00c5", "\u212b",
                "\u03c3", "\u03a3", "\u03c2", "\u0434", "\u0414", "i", "I", "\u0130", "\u0131",
                "\u1e9e", "\u00df", " ", "-"]
    BYTES = [b"\xff", b"\xc3", b"\xe2\x84", b"\x00"]

    @classmethod
    def setUpClass(cls):
        cls.plain = Plain(read_folding())

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-case-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def indexes(self, keys, name):
        """An index file of the keys, and three shards of them when make-shards is built."""
        path = os.path.join(self.dir, name + ".idx")
        tessel.build(keys, path)
        found = [path]
        program = make_shards()
        if program is not None and not any(b"\x00" in key or b"\n" in key for key in keys):
            listed = os.path.join(self.dir, name + ".txt")
            with open(listed, "wb") as file:
                file.writelines(key + b"\n" for key in keys)
            directory = os.path.join(self.dir, name)
            os.mkdir(directory)
            subprocess.run([program, listed, directory, "3"], check=True)
            found.append(directory)
        return found

    def test_every_call_is_the_plain_reading(self):
        rng = random.Random(29)
        plain = self.plain
        for round_ in range(40):
            alphabet = [c.encode() for c in rng.sample(self.ALPHABET, 8)]
            if round_ % 2:
                alphabet += rng.sample(self.BYTES, 2)
            keys = sorted({b"".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 5)))
                           for _ in range(rng.randrange(1, 30))})
            texts = [b"".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 30)))
                     for _ in range(8)]
            for path in self.indexes(keys, str(round_)):
                with tessel.Index(path, binary=True) as index:
                    for text in texts:
                        for longest in (False, True):
                            for words in (False, True):
                                expected = plain.findall(keys, text, longest, words)
                                found = index.findall(text, longest=longest, words=words,
                                                      ignore_case=True)
                                self.assertEqual(found, expected, (path, text, longest, words))
                                self.assertEqual(list(index.finditer(
                                    text, longest=longest, words=words, ignore_case=True)),
                                    expected)
                        if round_ % 2 == 0:
                            self.assert_str_scans_agree(path, text, plain.findall(keys, text,
                                                                                  True, False))
                        self.assertEqual(index.prefixes(text, ignore_case=True),
                                         plain.prefixes(keys, text))
                        prefix = text[:rng.randrange(0, 4)]
                        self.assertEqual(index.predict(prefix, ignore_case=True),
                                         plain.predict(keys, prefix), prefix)
                    queries = texts + [key.swapcase() for key in keys] + keys
                    self.assertEqual(index.get_many(queries, ignore_case=True),
                                     [plain.find(keys, q) for q in queries])

    def assert_str_scans_agree(self, path, text, expected):
        """A str's leftmost-longest matches, by findall() and finditer() alike, are the bytes'
        in characters: the keys here are whole characters, so no match splits one."""
        def characters(offset):
            return len(text[:offset].decode())
        expected = [(characters(start), characters(end), value) for start, end, value in expected]
        with tessel.Index(path) as index:
            text = text.decode()
            self.assertEqual(index.findall(text, longest=True, ignore_case=True), expected,
                             (path, text))
            self.assertEqual(list(index.finditer(text, longest=True, ignore_case=True)),
                             expected, (path, text))

    def test_ascii_keys_of_every_case_and_length(self):
        # Many spellings of one word, and keys past 64 characters.
        rng = random.Random(30)
        plain = self.plain
        for round_ in range(12):
            alphabet = [b"a", b"A", b"b", b"B", b"k", b"S", b" ", b"\n"][:4 + round_ % 5]
            keys = {b"".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 6)))
                    for _ in range(40)}
            keys |= {b"a" * 60 + b"".join(rng.choice(alphabet) for _ in range(8))
                     for _ in range(4)}
            keys = sorted(keys)
            texts = [b"".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))
                     for _ in range(6)] + [b"A" * 70, b"aA" * 36 + b" b"]
            for path in self.indexes(keys, f"ascii{round_}"):
                with tessel.Index(path, binary=True) as index:
                    for text in texts:
                        for longest in (False, True):
                            for words in (False, True):
                                self.assertEqual(
                                    index.findall(text, longest=longest, words=words,
                                                  ignore_case=True),
                                    plain.findall(keys, text, longest, words),
                                    (path, text, longest, words))

    def test_sub_replaces_the_leftmost_longest_matches_of_any_case(self):
        path = os.path.join(self.dir, "names.idx")
        tessel.build(["django", "flask", "flask-login", "numpy", "pandas", "python"], path)
        text = "I use Python, NumPy and pandas; see also Django and FLASK-login."
        with tessel.Index(path) as index:
            self.assertEqual(index.sub("<>", text, words=True, ignore_case=True),
                             "I use <>, <> and <>; see also <> and <>.")
            self.assertEqual(
                index.subn(lambda start, end, value: text[start:end].lower(), text,
                           ignore_case=True, count=2),
                ("I use python, numpy and pandas; see also Django and FLASK-login.", 2))
            # Spans are the text's: the Kelvin sign is three bytes, one character.
            self.assertEqual(index.findall("\u212aelvin numpy", ignore_case=True),
                             [(7, 12, 3)])
            self.assertEqual(index.findall(b"\xe2\x84\xaa NUMPY", ignore_case=True),
                             [(4, 9, 3)])
            self.assertEqual(index.predict("FL", 1, ignore_case=True), [("flask", 1)])
            self.assertEqual(index.prefixes("PYTHONIC", ignore_case=True), ["python"])
            self.assertEqual(index.get_many(["NUMPY", "Numpy", "numpie"], ignore_case=True),
                             [3, 3, -1])
            with self.assertRaises(TypeError):
                index.predict("fl", None, True)  # pylint: disable=too-many-function-args
            with self.assertRaises(TypeError):
                index.prefixes("fl", True)  # pylint: disable=too-many-function-args


if __name__ == "__main__":
    unittest.main()
