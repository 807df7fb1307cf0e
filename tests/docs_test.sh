#!/usr/bin/env bash
# The README reads in ten minutes (2,500 words at most), and tessel-lookup's options are the
# same in its --help, its manual page and the README. Usage: docs_test.sh SOURCE_DIR LOOKUP
set -euo pipefail
source=$1
lookup=$2
words=$(wc -w < "$source/README.md")
[ "$words" -le 2500 ] || { echo "README.md has $words words, more than 2,500"; exit 1; }
# The letters of the options in --help's usage lines, up to the first empty line.
options=$("$lookup" --help | sed -n '1,/^$/p' | grep -o -- '-[a-zA-Z]' | sort -u)
[ -n "$options" ] || { echo "no options in tessel-lookup --help"; exit 1; }
readme=$(sed -n '/^## tessel-lookup/,/^## /p' "$source/README.md")
page=$source/tool/tessel-lookup.1.in
for option in $options; do
  grep -q -- "$option" <<< "$readme" || { echo "README's tessel-lookup section lacks $option"; exit 1; }
  grep -q -- "\\\\$option" "$page" || { echo "the manual page lacks $option"; exit 1; }
done
echo "README: $words words; options $(echo $options) in --help, the manual page and the README"
