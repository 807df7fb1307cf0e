#!/usr/bin/env bash
# Installs the package as the README says, into a fresh virtual environment, from a copy of the
# tree (pip builds in place), and runs the tests against the installed package.
# Usage: install_test.sh PYTHON PYTHON_SOURCE_DIR
set -euo pipefail
python=$1
source_dir=$(cd "$2" && pwd)
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
