#!/usr/bin/env bash
# The package builds on its own: `python3 -m build --no-isolation` makes an sdist and a wheel
# from python/, and the sdist, unpacked alone in an empty folder, installs and passes its tests.
# Usage: sdist_test.sh PYTHON PYTHON_SOURCE_DIR
set -euo pipefail
python=$1
source_dir=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-sdist.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A copy of the tree, so that the build leaves nothing in the sources.
mkdir "$work/tree"
(cd "$source_dir/.." && git ls-files -z --cached --others --exclude-standard 2> /dev/null ||
   find . -path ./build -prune -o -type f -print0) |
  (cd "$source_dir/.." && xargs -0 cp --parents -t "$work/tree")
"$python" -m build --no-isolation --outdir "$work/dist" "$work/tree/python" > "$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
ls "$work"/dist/*.whl > /dev/null
"$python" -m zipfile -l "$work"/dist/*.whl | grep 'dist-info/LICENSE' > /dev/null || { echo "no LICENSE in the wheel"; exit 1; }
mkdir "$work/alone"
tar -xzf "$work"/dist/*.tar.gz -C "$work/alone"
unpacked=$(echo "$work"/alone/*)
[ -f "$unpacked/LICENSE" ] && [ -f "$unpacked/include/tessel/index_view.h" ] ||
  { echo "the sdist lacks LICENSE or the headers"; exit 1; }
"$python" -m venv --system-site-packages "$work/venv"
(cd "$unpacked" && "$work/venv/bin/pip" install -q --no-build-isolation --no-index .)
cd "$work"
PYTHONDONTWRITEBYTECODE=1 "$work/venv/bin/python" -m unittest discover -s "$unpacked/tests"
