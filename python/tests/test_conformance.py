"""The table of expected answers (tests/data/conformance.txt), run by Python and by
tessel-lookup over an index file, sharded indexes of one and four shards, and a sharded index
whose shard files are removed after it was opened. The C++ front runs the same table in
tests/conformance_test.cpp."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import tessel
from programs import make_shards, tessel_lookup, tessel_weights

TABLE = Path(__file__).resolve().parents[2] / "tests" / "data" / "conformance.txt"


def unescape(text):
    return re.sub(rb"%([0-9A-F]{2})", lambda m: bytes([int(m.group(1), 16)]), text.encode())


def escape(key):
    return "".join(chr(c) if 0x21 <= c < 0x7F and c != 0x25 else f"%{c:02X}" for c in key)


def listing(pairs):
    return " ".join(f"{value}:{escape(key)}" for key, value in pairs) or "-"


def read_table():
    """[(keys, weights, rows)]: each key list, its weights or None, and the rows that its
    index answers."""
    sections = []
    for line in TABLE.read_text(encoding="ascii").splitlines():
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if fields[0] == "keys":
            sections.append(([unescape(field) for field in fields[1:]], None, []))
        elif fields[0] == "weights":
            sections[-1] = (sections[-1][0], [int(w) for w in fields[1:]], sections[-1][2])
        else:
            sections[-1][2].append(fields)
    return sections


def answer_python(index, row):
    """What Python's front answers for a row of the table, as the table writes it."""
    kind = row[0]
    if kind == "find":
        return str(index.get(unescape(row[1]), "-"))
    if kind == "ifind":
        value = index.get_many([unescape(row[1])], ignore_case=True)[0]
        return "-" if value < 0 else str(value)
    if kind == "iprefixes":
        return listing(index.prefix_items(unescape(row[1]), ignore_case=True))
    if kind == "ipredict":
        limit = None if row[2] == "*" else int(row[2])
        return listing(index.predict(unescape(row[1]), limit, ignore_case=True))
    if kind == "prefixes":
        return listing(index.prefix_items(unescape(row[1])))
    if kind == "predict":
        limit = None if row[2] == "*" else int(row[2])
        return listing(index.predict(unescape(row[1]), limit))
    if kind == "restore":
        try:
            return escape(index.restore_key(int(row[1])))
        except KeyError:
            return "-"
    if kind == "count":
        return str(len(index))
    if kind == "dump":
        return listing(index.items())
    if kind in ("top", "itop"):
        return " ".join(f"{value}:{weight}:{escape(key)}" for key, value, weight in
                        index.top(unescape(row[1]), int(row[2]), ignore_case=kind == "itop")) \
            or "-"
    if kind == "scan":
        modes = row[1].split(",")
        found = index.findall(unescape(row[2]), longest="longest" in modes,
                              words="words" in modes, ignore_case="icase" in modes)
        return " ".join(f"{start}:{end - start}:{value}" for start, end, value in found) or "-"
    raise AssertionError(f"no such kind of row: {kind}")


def run_lookup(program, options, index, lines):
    done = subprocess.run([program, *options, index], input=b"".join(l + b"\n" for l in lines),
                          capture_output=True, check=False)
    if done.returncode not in (0, 1):
        raise AssertionError(f"{options}: status {done.returncode}: {done.stderr!r}")
    return done.stdout.splitlines()


def answer_tool(program, index, row):
    """What tessel-lookup answers for a row of the table, as the table writes it."""
    kind = row[0]
    icase = ["-i"] if kind.startswith("i") else []
    kind = kind[1:] if icase else kind
    if kind == "find":
        out = run_lookup(program, icase, index, [unescape(row[1])])
        return out[0].split(b"\t", 1)[0].decode().replace("-1", "-")
    if kind in ("prefixes", "predict"):
        options = icase + (["-p"] if kind == "prefixes" else ["-P"])
        if kind == "predict" and row[2] != "*":
            options += ["-m", row[2]]
        out = run_lookup(program, options, index, [unescape(row[1])])
        return listing((key, int(value)) for value, key in
                       (line.split(b"\t", 1) for line in out[1:]))
    if kind == "top":
        out = run_lookup(program, icase + ["-t", row[2]], index, [unescape(row[1])])
        assert out[0] == b"%d\t%s" % (len(out) - 1, unescape(row[1])), out[0]
        return " ".join(f"{int(value)}:{int(weight)}:{escape(key)}" for value, weight, key in
                        (line.split(b"\t", 2) for line in out[1:])) or "-"
    if kind == "restore":
        out = run_lookup(program, ["-r"], index, [row[1].encode()])
        value, key = out[0].split(b"\t", 1)
        return "-" if value == b"-1" else escape(key)
    if kind == "count":
        return run_lookup(program, ["-n"], index, [])[0].decode()
    if kind == "dump":
        out = run_lookup(program, ["-d"], index, [])
        return listing((key, int(value)) for value, key in (line.split(b"\t", 1) for line in out))
    if kind == "scan":
        modes = row[1].split(",")
        options = ["-s"] + (["-l"] if "longest" in modes else []) + \
            (["-w"] if "words" in modes else []) + (["-i"] if "icase" in modes else [])
        text = unescape(row[2])
        if b"\n" in text or b"\0" in text:
            return None  # the tool reads a line at each '\n' and drops it from a NUL on
        out = run_lookup(program, options, index, [text])
        found = [line.split(b"\t", 3) for line in out]
        if "icase" not in modes:
            return " ".join(f"{int(at)}:{len(key)}:{int(value)}" for _, at, value, key in found) \
                or "-"
        # The key printed is the one stored; the span is the Python front's, checked there.
        with tessel.Index(index, binary=True) as opened:
            for _, _, value, key in found:
                assert opened[key] == int(value), (key, value)
            spans = opened.findall(text, longest="longest" in modes, words="words" in modes,
                                   ignore_case=True)
        assert [int(at) for _, at, _, _ in found] == [start for start, _, _ in spans]
        return " ".join(f"{start}:{end - start}:{value}" for start, end, value in spans) or "-"
    raise AssertionError(f"no such kind of row: {kind}")


@unittest.skipUnless(TABLE.is_file(), "the table lies outside the package (an sdist)")
class Conformance(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tessel-conformance-")
        # Per section of the table: its rows, and its indexes by name.
        cls.sections = []
        program = make_shards()
        if program is None:
            print("SKIP: no make-shards program: the sharded indexes are left out")
        weigher = tessel_weights()
        for number, (keys, weights, rows) in enumerate(read_table()):
            where = os.path.join(cls.dir, str(number))
            os.mkdir(where)
            keys_file = os.path.join(where, "keys.txt")
            with open(keys_file, "wb") as out:
                out.writelines(key + b"\n" for key in keys)
            indexes = {"file": os.path.join(where, "keys.idx")}
            tessel.build(keys, indexes["file"], weights=weights)
            for shards in (1, 4) if program is not None else ():
                directory = os.path.join(where, f"shards{shards}")
                os.mkdir(directory)
                subprocess.run([program, keys_file, directory, str(shards)], check=True)
                if weights is not None and weigher is not None:
                    weights_file = os.path.join(where, "weights.txt")
                    with open(weights_file, "w", encoding="ascii") as out:
                        out.writelines(f"{w}\n" for w in weights)
                    subprocess.run([weigher, weights_file, directory], check=True,
                                   stdout=subprocess.DEVNULL)
                indexes[f"{shards} shards"] = directory
            if weights is not None and weigher is None and program is not None:
                print("SKIP: no tessel-weights program: ranked completion is left out")
                rows = [row for row in rows if "top" not in row[0]]
            cls.sections.append((rows, indexes))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def check_rows(self, rows, answer, where):
        for row in rows:
            with self.subTest(where=where, row=row[:-1]):
                got = answer(row)
                if got is not None:
                    self.assertEqual(got, row[-1])

    def test_python(self):
        for rows, indexes in self.sections:
            for name, path in indexes.items():
                with tessel.Index(path, binary=True) as index:
                    self.assertEqual(index.sharded, name != "file")
                    self.check_rows(rows, lambda row, index=index: answer_python(index, row),
                                    name)

    def test_python_after_the_shards_are_removed(self):
        for number, (rows, indexes) in enumerate(self.sections):
            if "4 shards" not in indexes:
                self.skipTest("no sharded index")
            copy = os.path.join(self.dir, f"removed{number}")
            shutil.copytree(indexes["4 shards"], copy)
            with tessel.Index(copy, binary=True) as index:
                if any("top" in row[0] for row in rows):
                    index.top("", 1)  # each shard's companion is read at its first use
                for name in os.listdir(copy):
                    os.unlink(os.path.join(copy, name))
                self.check_rows(rows, lambda row, index=index: answer_python(index, row),
                                "shards removed")
                index.verify()

    def test_tool(self):
        program = tessel_lookup()
        if program is None:
            self.skipTest("no tessel-lookup")
        for rows, indexes in self.sections:
            for name, path in indexes.items():
                self.check_rows(rows, lambda row, path=path: answer_tool(program, path, row), name)


if __name__ == "__main__":
    unittest.main()
