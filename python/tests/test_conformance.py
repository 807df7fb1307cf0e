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
from programs import make_shards, tessel_lookup

TABLE = Path(__file__).resolve().parents[2] / "tests" / "data" / "conformance.txt"


def unescape(text):
    return re.sub(rb"%([0-9A-F]{2})", lambda m: bytes([int(m.group(1), 16)]), text.encode())


def escape(key):
    return "".join(chr(c) if 0x21 <= c < 0x7F and c != 0x25 else f"%{c:02X}" for c in key)


def listing(pairs):
    return " ".join(f"{value}:{escape(key)}" for key, value in pairs) or "-"


def read_table():
    keys, rows = None, []
    for line in TABLE.read_text(encoding="ascii").splitlines():
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if fields[0] == "keys":
            keys = [unescape(field) for field in fields[1:]]
        else:
            rows.append(fields)
    return keys, rows


def answer_python(index, row):
    """What Python's front answers for a row of the table, as the table writes it."""
    kind = row[0]
    if kind == "find":
        return str(index.get(unescape(row[1]), "-"))
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
    if kind == "scan":
        modes = row[1].split(",")
        found = index.findall(unescape(row[2]), longest="longest" in modes,
                              words="words" in modes)
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
    if kind == "find":
        out = run_lookup(program, [], index, [unescape(row[1])])
        return out[0].split(b"\t", 1)[0].decode().replace("-1", "-")
    if kind in ("prefixes", "predict"):
        options = ["-p"] if kind == "prefixes" else ["-P"]
        if kind == "predict" and row[2] != "*":
            options += ["-m", row[2]]
        out = run_lookup(program, options, index, [unescape(row[1])])
        return listing((key, int(value)) for value, key in
                       (line.split(b"\t", 1) for line in out[1:]))
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
            (["-w"] if "words" in modes else [])
        out = run_lookup(program, options, index, [unescape(row[2])])
        found = [line.split(b"\t", 3) for line in out]
        return " ".join(f"{int(at)}:{len(key)}:{int(value)}" for _, at, value, key in found) \
            or "-"
    raise AssertionError(f"no such kind of row: {kind}")


@unittest.skipUnless(TABLE.is_file(), "the table lies outside the package (an sdist)")
class Conformance(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tessel-conformance-")
        cls.keys, cls.rows = read_table()
        keys_file = os.path.join(cls.dir, "keys.txt")
        with open(keys_file, "wb") as out:
            out.writelines(key + b"\n" for key in cls.keys)
        cls.indexes = {"file": os.path.join(cls.dir, "keys.idx")}
        tessel.build(cls.keys, cls.indexes["file"])
        program = make_shards()
        if program is None:
            print("SKIP: no make-shards program: the sharded indexes are left out")
            return
        for shards in (1, 4):
            directory = os.path.join(cls.dir, f"shards{shards}")
            os.mkdir(directory)
            subprocess.run([program, keys_file, directory, str(shards)], check=True)
            cls.indexes[f"{shards} shards"] = directory

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def check_rows(self, answer, where):
        for row in self.rows:
            with self.subTest(where=where, row=row[:-1]):
                self.assertEqual(answer(row), row[-1])

    def test_python(self):
        for name, path in self.indexes.items():
            with tessel.Index(path, binary=True) as index:
                self.assertEqual(index.sharded, name != "file")
                self.check_rows(lambda row, index=index: answer_python(index, row), name)

    def test_python_after_the_shards_are_removed(self):
        if "4 shards" not in self.indexes:
            self.skipTest("no sharded index")
        copy = os.path.join(self.dir, "removed")
        shutil.copytree(self.indexes["4 shards"], copy)
        with tessel.Index(copy, binary=True) as index:
            for name in os.listdir(copy):
                os.unlink(os.path.join(copy, name))
            self.check_rows(lambda row: answer_python(index, row), "shards removed")
            index.verify()

    def test_tool(self):
        program = tessel_lookup()
        if program is None:
            self.skipTest("no tessel-lookup")
        for name, path in self.indexes.items():
            self.check_rows(lambda row, path=path: answer_tool(program, path, row), name)


if __name__ == "__main__":
    unittest.main()
