"""findall() and finditer(): the keys that occur in a text, against a plain reading of what a
match is, for str (character offsets) and bytes, one index and shards; Ctrl-C, other
threads, and a text or an index that changes meanwhile."""

import os
import random
import shutil
import signal
import tempfile
import threading
import unicodedata
import time
import unittest

import tessel

from test_robustness import assert_stops_soon  # pylint: disable=import-error


def word_bytes(text, word_chars=""):
    """Whether each byte of the bytes `text` is a word byte: that of its character (a letter,
    mark, number or connector punctuation to unicodedata, ASCII's letters, digits and "_",
    or one of word_chars), and True for a byte that is no part of well-formed UTF-8."""
    classes = []
    for char in text.decode("utf-8", "surrogateescape"):
        if "\udc80" <= char <= "\udcff":
            classes.append(True)  # a byte that no character holds
            continue
        word = (char.isascii() and (char.isalnum() or char == "_") or
                not char.isascii() and unicodedata.category(char)[0] in "LMN" or
                unicodedata.category(char) == "Pc" or char in word_chars)
        classes.extend([word] * len(char.encode()))
    return classes


def plain(keys, text, longest, words, word_chars=""):
    """Every match by the definition, (start, end, value) in bytes, then the leftmost-longest
    choice when asked."""
    word = word_bytes(text, word_chars)

    def boundary(at):
        return at in (0, len(text)) or not (word[at - 1] and word[at])

    found = sorted((i, i + len(key), value) for i in range(len(text))
                   for key, value in keys.items()
                   if key and text.startswith(key, i) and
                   (not words or boundary(i) and boundary(i + len(key))))
    if not longest:
        return found
    chosen, start = [], 0
    for k, (i, end, value) in enumerate(found):
        if i >= start and (k + 1 == len(found) or found[k + 1][0] != i):
            chosen.append((i, end, value))
            start = end
    return chosen


class Scan(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-scan-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_every_mode_is_the_plain_reading(self):
        rng = random.Random(3)
        # Letters, marks, numbers and connector punctuation past ASCII are word characters;
        # quotes, dashes, guillemets and spaces past ASCII are not; a byte that no character
        # holds (\xff, or the halves of one cut apart) is.
        unicode = ["é", "\u0301", "\u0663", "\u203f", "\u201c", "\u2014", "\u00ab", "\u00a0",
                   "Ω", "-"]
        for round_ in range(60):
            alphabet = [b"a", b"b", b" ", b"\xc3\xa9", b"_", b"\x00", b"\xff"][:3 + round_ % 5]
            if round_ >= 40:
                alphabet = [b"a", b"b", b" ", b"\xe2", b"\x80"] + [
                    c.encode() for c in rng.sample(unicode, 4)]
            word_chars = rng.choice(["", "-", "\u2014", "-\u00a0"]) if round_ >= 40 else ""
            keys = sorted({b"".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 5)))
                           for _ in range(rng.randrange(1, 25))})
            path = os.path.join(self.dir, f"{round_}.idx")
            tessel.build(keys, path)
            values = {key: n for n, key in enumerate(keys)}
            with tessel.Index(path) as index:
                for _ in range(10):
                    text = b"".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))
                    for longest in (False, True):
                        for words in (False, True):
                            expected = plain(values, text, longest, words, word_chars)
                            found = index.findall(text, longest=longest, words=words,
                                                  word_chars=word_chars)
                            self.assertEqual(found, expected, (text, longest, words, word_chars))
                            self.assertEqual(list(index.finditer(
                                text, longest=longest, words=words, word_chars=word_chars)),
                                expected)

    def test_word_characters_are_unicode_s(self):
        # Every character assigned in this Python's Unicode: "a" after it is a word of its own
        # exactly when the character is no letter, mark, number or connector punctuation.
        path = os.path.join(self.dir, "a.idx")
        tessel.build(["a"], path)
        chars = [chr(c) for c in range(0x80, 0x110000) if not 0xD800 <= c < 0xE000 and
                 unicodedata.category(chr(c)) != "Cn"]
        with tessel.Index(path) as index:
            found = {start for start, _, _ in index.findall("".join(c + "a " for c in chars),
                                                           words=True)}
        wrong = [c for n, c in enumerate(chars)
                 if (3 * n + 1 in found) == (unicodedata.category(c)[0] in "LMN" or
                                            unicodedata.category(c) == "Pc")]
        self.assertEqual(wrong, [])

    def test_a_str_is_scanned_in_characters(self):
        path = os.path.join(self.dir, "k.idx")
        tessel.build(["a", "été", "l'été", "\U0001f600", b"\xa9"], path, sort=True)
        with tessel.Index(path) as index:
            text = "l'été \U0001f600 a"
            # b"\xa9" matches inside the bytes of "é" only: never between characters of a str.
            self.assertEqual(index.findall(text, longest=True),
                             [(0, 5, 2), (6, 7, 3), (8, 9, 0)])
            self.assertEqual(index.findall(text.encode(), longest=True),
                             [(0, 7, 2), (8, 12, 3), (13, 14, 0)])
            self.assertIn((3, 4, 4), index.findall(text.encode()))  # b"\xa9" inside "é"
            # Bytes that are not UTF-8 come back from their escapes.
            self.assertEqual(index.findall(b"x\xa9".decode("utf-8", "surrogateescape")), [(1, 2, 4)])
            for wrong in (3, None, ["a"]):
                with self.assertRaises(TypeError):
                    index.findall(wrong)
            with self.assertRaises(UnicodeEncodeError):
                index.findall("a\ud800")
            with self.assertRaises(TypeError):
                index.findall("a", True)  # longest is a keyword
            self.assertEqual(index.findall(bytearray(b"a")), [(0, 1, 0)])

    def test_sub_replaces_each_leftmost_longest_match(self):
        path = os.path.join(self.dir, "k.idx")
        keys = ["a", "ab", "é", "ét", "\U0001f600", "b a"]
        tessel.build([k.encode() for k in keys] + [b"\xa9", b"\xc3"], path, sort=True)
        rng = random.Random(7)
        pieces = ["a", "b", " ", "é", "t", "\U0001f600", "\udca9", "\udcc3", "-"]
        with tessel.Index(path) as index:
            for _ in range(300):
                text = "".join(rng.choice(pieces) for _ in range(rng.randrange(0, 16)))
                raw = text.encode("utf-8", "surrogateescape")
                words = rng.random() < 0.5
                count = rng.choice((0, 0, 1, 2, -1))
                for given in (text, raw):
                    found = index.findall(given, longest=True, words=words)
                    chosen = [] if count < 0 else found[:count] if count else found
                    # The plain reading: the text between matches kept, each match replaced.
                    expected, done, calls = given[:0], 0, []
                    for start, end, value in chosen:
                        expected += given[done:start] + given[:0].join(
                            (given[:0], "<%d>" % value if isinstance(given, str)
                             else b"<%d>" % value))
                        done = end
                    expected += given[done:]

                    def repl(start, end, value, given=given, calls=calls):
                        calls.append((start, end, value))
                        return "<%d>" % value if isinstance(given, str) else b"<%d>" % value
                    self.assertEqual(index.subn(repl, given, words=words, count=count),
                                     (expected, len(chosen)), (given, words, count))
                    self.assertEqual(calls, chosen)
                    fixed = "#" if isinstance(given, str) else b"#"
                    self.assertEqual(index.sub(fixed, given, words=words, count=count),
                                     index.sub(lambda *_, f=fixed: f, given, words=words,
                                               count=count))
            # A str keeps every character it had outside the matches, escapes included.
            self.assertEqual(index.sub("", "\udcc4b a\udcaa"), "\udcc4\udcaa")
            self.assertEqual(index.sub(b"", bytearray(b"\xc3a\xa9")), b"")
            for wrong in ((b"x", "a"), ("x", b"a"), (lambda *_: 1, "a"), (lambda *_: "x", b"a")):
                with self.assertRaises(TypeError):
                    index.sub(*wrong)
            # A text of another type is told as such, whatever the replacement.
            for repl in ("x", b"x", len):
                with self.assertRaisesRegex(TypeError, "a text is str or bytes, not int"):
                    index.sub(repl, 3)
            with self.assertRaises(ZeroDivisionError):
                index.sub(lambda *_: 1 / 0, "a")
            with self.assertRaises(TypeError):
                index.sub("x", "a", 1)  # count is a keyword
            self.assertEqual(index.sub("x", "A a", ignore_case=True), "x x")
            self.assertEqual(index.sub("x", "a a", count=2**70), "x x")
            index.close()
            with self.assertRaises(ValueError):
                index.sub("x", "a")

    def test_shards_answer_as_one_index(self):
        keys = sorted({("%x" % (n * 7919 % 5000)).encode() for n in range(3000)})
        directory = os.path.join(self.dir, "shards")
        one = os.path.join(self.dir, "one.idx")
        tessel.build(keys, one)
        from tessel.shards import _plan, _tasks  # pylint: disable=import-outside-toplevel
        keys_path = os.path.join(self.dir, "keys.txt")
        with open(keys_path, "wb") as file:
            file.write(b"".join(key + b"\n" for key in keys))
        plan = _plan.SortedPlan([keys_path], 400)
        owner = tessel._tessel._Directory(directory)  # pylint: disable=protected-access
        generation = owner.begin()
        results = [_tasks.build_range(p, s, e, directory, generation, n)
                   for n, (p, s, e) in enumerate(plan.ranges)]
        owner.commit(*plan.entries(results))
        owner.finish()
        owner.close()
        text = " ".join("%x" % random.Random(n).randrange(8000) for n in range(3000))
        with tessel.Index(one) as single, tessel.ShardedIndex(directory) as sharded:
            self.assertGreater(len(sharded.shards), 3)
            for longest in (False, True):
                for words in (False, True):
                    expected = single.findall(text, longest=longest, words=words)
                    self.assertTrue(expected)
                    self.assertEqual(sharded.findall(text, longest=longest, words=words), expected)
                    self.assertEqual(list(sharded.finditer(text, longest=longest, words=words)),
                                     expected)
                self.assertEqual(sharded.subn("<>", text, words=longest),
                                 single.subn("<>", text, words=longest))

    def test_a_scan_lets_other_threads_run_and_stops_at_ctrl_c(self):
        path = os.path.join(self.dir, "k.idx")
        tessel.build([b"%04d" % n for n in range(10_000)], path)
        text = b"".join(b"%04d " % (n % 20_000) for n in range(2_000_000))
        with tessel.Index(path) as index:
            ticks = []
            done = threading.Event()

            def tick():
                while not done.is_set():
                    ticks.append(1)
                    time.sleep(0.001)

            thread = threading.Thread(target=tick)
            thread.start()
            found = index.findall(text, words=True)
            done.set()
            thread.join()
            self.assertEqual(len(found), 1_000_000)
            # The GIL was free meanwhile: held, it would have left the thread a tick or two.
            self.assertGreater(len(ticks), 10)
            every = len(index.findall(text))
            assert_stops_soon(self, lambda: len(index.findall(text)), every)
            assert_stops_soon(self, lambda: sum(1 for _ in index.finditer(text)), every)

    def test_many_matches_share_their_values_rightly(self):
        # Equal values share one int, from call to call and index to index: values that
        # collide in the table keep their own.
        path = os.path.join(self.dir, "k.idx")
        other = os.path.join(self.dir, "other.idx")
        keys = [b"%05d" % n for n in range(20_000)]
        tessel.build(keys, path)
        tessel.build(keys, other, [n + 4096 for n in range(20_000)])
        rng = random.Random(5)
        numbers = [rng.choice((rng.randrange(20_000), 4096 * rng.randrange(4), 7))
                   for _ in range(30_000)]
        text = " ".join("%05d" % n for n in numbers)
        with tessel.Index(path) as index, tessel.Index(other) as shifted:
            found = index.findall(text, words=True)
            self.assertEqual([value for _, _, value in found], numbers)
            self.assertEqual(found, list(index.finditer(text, words=True)))
            self.assertEqual([text[start:end] for start, end, _ in found[:3]],
                             ["%05d" % n for n in numbers[:3]])
            for n in numbers[:2000]:
                self.assertEqual(shifted.findall("%05d" % n), [(0, 5, n + 4096)])
                self.assertEqual(list(index.finditer(b"%05d" % n)), [(0, 5, n)])

    def test_a_scan_called_from_a_signal_handler_during_a_scan(self):
        # A thread's scans share what they keep: one started by a handler that runs in the
        # middle of another must leave the first one's matches alone.
        path = os.path.join(self.dir, "k.idx")
        tessel.build([b"%04d" % n for n in range(10_000)], path)
        text = b"".join(b"%04d " % (n % 20_000) for n in range(2_000_000))
        inner = []

        def handler(*_):
            inner.append(index.findall(b"x 0042 y", longest=True))

        previous = signal.signal(signal.SIGALRM, handler)
        try:
            with tessel.Index(path) as index:
                expected = index.findall(text, words=True)
                signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
                try:
                    found = [index.findall(text, words=True) for _ in range(3)]
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
        finally:
            signal.signal(signal.SIGALRM, previous)
        self.assertTrue(inner)
        self.assertEqual(set(map(tuple, inner)), {((2, 6, 42),)})
        for each in found:
            self.assertEqual(each, expected)

    def test_a_text_or_an_index_that_changes_meanwhile(self):
        path = os.path.join(self.dir, "k.idx")
        tessel.build([b"ab", b"b"], path)
        text = bytearray(b"ab" * 500_000)
        index = tessel.Index(path)

        def scribble():
            for n in range(0, len(text), 7):
                text[n] = ord("x")

        thread = threading.Thread(target=scribble)
        thread.start()
        found = index.findall(text)  # scans a copy of the text as it was at the call
        thread.join()
        self.assertTrue(all(0 <= start < end <= len(text) for start, end, _ in found))
        matches = index.finditer(b"ab ab ab")
        self.assertEqual(next(matches), (0, 2, 0))
        index.close()
        with self.assertRaisesRegex(ValueError, "closed"):
            list(matches)


if __name__ == "__main__":
    unittest.main()
