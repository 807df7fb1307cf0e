#!/usr/bin/env bash
# Installs the package as the README says, into a fresh virtual environment, from a copy of the
# tree (pip builds in place), and runs the tests against the installed package; then the
# README's sharded example as written, with tessel-lookup on PATH (TESSEL_LOOKUP, when set).
# Usage: install_test.sh PYTHON PYTHON_SOURCE_DIR [README]
set -euo pipefail
python=$1
source_dir=$(cd "$2" && pwd)
readme=${3:+$(cd "$(dirname "$3")" && pwd)/$(basename "$3")}
work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-pip.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree"
cp -r "$source_dir" "$work/tree/python"
cp -r "$source_dir/../base" "$source_dir/../double_array" "$source_dir/../index_view" \
  "$source_dir/../examples" "$source_dir/../VERSION" "$work/tree/"
rm -rf "$work/tree/python/build" "$work/tree/python/"*.egg-info
"$python" -m venv --system-site-packages "$work/venv"
(cd "$work/tree" && "$work/venv/bin/pip" install -q --no-build-isolation ./python)
cd "$work"
"$work/venv/bin/python" -c 'import tessel, sys; sys.exit(0 if tessel.__file__.startswith(sys.argv[1]) else 1)' "$work/venv"
PYTHONDONTWRITEBYTECODE=1 "$work/venv/bin/python" -m unittest discover -s "$work/tree/python/tests"

[ -n "$readme" ] && [ -n "${TESSEL_LOOKUP:-}" ] || exit 0
mkdir "$work/bin"
ln -s "$TESSEL_LOOKUP" "$work/bin/tessel-lookup"
ln -s "$work/venv" "$work/tree/venv"
# The first shell block of the section on sharded indexes.
awk '/^## Sharded indexes/ { section = 1 } section && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { exit } inside' "$readme" > "$work/sharded.sh"
[ -s "$work/sharded.sh" ] || { echo "no sharded example in $readme"; exit 1; }
# As a user types it: a query that is no key does not stop the rest; the output tells.
(cd "$work/tree" && PATH="$work/bin:$PATH" bash "$work/sharded.sh" > "$work/out") || true
expected=$(printf '4000 keys in 4 shards\n4000 keys in 4 shards\n99\tTatea\n-1\tzebra\n4 shards verified')
[ "$(cat "$work/out")" = "$expected" ] || { echo "the sharded example printed:"; cat "$work/out"; exit 1; }
# The Python block of that section, saved as a script and run: Dask's workers import it again.
awk '/^## Sharded indexes/ { section = 1 } section && /^```python$/ { inside = 1; next }
     inside && /^```$/ { exit } inside' "$readme" > "$work/tree/sharded_example.py"
[ -s "$work/tree/sharded_example.py" ] || { echo "no Python sharded example in $readme"; exit 1; }
(cd "$work/tree" && timeout 600 "$work/venv/bin/python" sharded_example.py > "$work/out" 2> "$work/err") ||
  { echo "the Python sharded example failed:"; cat "$work/err"; exit 1; }
expected=$(printf "%s\n" "[99, -1]" "[('Tatea', 99)]" "[('apple', 0), ('fig', 1), ('pear', 2)]")
[ "$(cat "$work/out")" = "$expected" ] ||
  { echo "the Python sharded example printed:"; cat "$work/out"; exit 1; }
# Without its guard, the build is refused at once instead of starting again in every worker.
grep -v '^if __name__' "$work/tree/sharded_example.py" | sed 's/^    //' > "$work/tree/unguarded.py"
(cd "$work/tree" && timeout 120 "$work/venv/bin/python" unguarded.py > /dev/null 2> "$work/err") &&
  { echo "a build without the guard ran"; exit 1; }
grep -q 'put the build under if __name__ == "__main__":' "$work/err" ||
  { echo "a build without the guard said:"; cat "$work/err"; exit 1; }
echo "installed, tested, and the sharded examples ran"
