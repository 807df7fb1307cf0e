#!/usr/bin/env bash
# The stub against the module (mypy's stubtest), and the README's Python example under
# mypy --strict and run for real. Usage: typing_test.sh PYTHON README
set -euo pipefail
python=$1
readme=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-typing.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$python" -m mypy.stubtest tessel
# The first Python block of the README.
awk '/^```python$/ { inside = 1; next } inside && /^```$/ { exit } inside' "$readme" > "$work/example.py"
[ -s "$work/example.py" ] || { echo "no Python example in $readme"; exit 1; }
"$python" -m mypy --strict --cache-dir "$work/cache" "$work/example.py"
# The sharded build's signature, which users' strict code calls.
cat > "$work/shards.py" << 'PY'
import tessel.shards


def rebuild(paths: list[str]) -> None:
    try:
        tessel.shards.build(paths, "index", shard_keys=1000, workers=2)
    except tessel.shards.OrderError as error:
        print(error.path, error.line + 1)
PY
"$python" -m mypy --strict --cache-dir "$work/cache" "$work/shards.py"
cd "$work" && "$python" example.py > /dev/null
echo "stub and example checked"
