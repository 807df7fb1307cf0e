#!/usr/bin/env bash
# Builds a generated key set and compares the SHA-256 of the index and of standard output with
# the digests recorded in tests/data/golden.txt, so that no change of the builder alters a byte.
# Usage: golden_test.sh SET  with TOOL, KEYGEN and SOURCE_DIR in the environment (alone, the
# test build's programs).
set -eu
set -o pipefail
: "${SOURCE_DIR:=$(cd "$(dirname "$0")/.." && pwd)}"
: "${TOOL:=$SOURCE_DIR/build/test/tessel-build}" "${KEYGEN:=$SOURCE_DIR/build/test/keygen}"
read -r _ count index_digest output_digest < <(grep "^$1 " "$SOURCE_DIR/tests/data/golden.txt")
work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-golden.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$KEYGEN" "$1" "$count" > "$work/keys.txt"
"$TOOL" "$work/keys.txt" "$work/keys.idx" > "$work/out"
got_index=$(sha256sum < "$work/keys.idx" | cut -d' ' -f1)
got_output=$(sha256sum < "$work/out" | cut -d' ' -f1)
status=0
[ "$got_index" = "$index_digest" ] || { echo "index of $1: $got_index, expected $index_digest"; status=1; }
[ "$got_output" = "$output_digest" ] || { echo "output of $1: $got_output, expected $output_digest"; status=1; }
exit $status
