#!/usr/bin/env bash
# The committed Unicode tables are what their script makes from the installed Unicode data:
# neither edited by hand nor left behind by a change of the script.
# Usage: unicode_tables_test.sh SOURCE_DIR (skipped, status 77, without unicode-data)
set -euo pipefail
source=$1
if [ ! -f /usr/share/unicode/UnicodeData.txt ] || ! command -v clang-format > /dev/null; then
  echo "skipped: needs Debian's unicode-data and clang-format"
  exit 77
fi
header=$source/base/include/tessel/internal/unicode_tables.h
/usr/bin/python3 "$source/base/unicode/make_tables.py" |
  clang-format --assume-filename="$header" | diff -u "$header" - ||
  { echo "unicode_tables.h differs from what base/unicode/make_tables.py makes"; exit 1; }
