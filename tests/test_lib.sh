# Shared by the program tests: a scratch directory that is removed at exit, and assertions that
# count failures instead of stopping at the first. Source it, run the case, then `finish`.
set -u

# Run alone (`bash tests/lookup_test.sh scan`), a case takes the programs of the test build
# (`cmake --workflow --preset test`) or of the build folder TESSEL_TEST_BUILD names; ctest
# sets each variable itself.
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
programs=${TESSEL_TEST_BUILD:-$source_dir/build/test}
: "${SOURCE_DIR:=$source_dir}" "${TOOL:=$programs/tessel-build}" "${KEYGEN:=$programs/keygen}"
: "${PLAIN_TOOL:=$programs/tessel-build-plain}" "${PLAIN_LOOKUP:=$programs/tessel-lookup-plain}"
: "${READER:=$programs/tessel-lookup}" "${MAKE_SHARDS:=$programs/make-shards}"
: "${WEIGHTS:=$programs/tessel-weights}"
[ -x "$TOOL" ] || { echo "no $TOOL: build it first (cmake --workflow --preset test)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-test.XXXXXX")
# Only the test's own shell cleans up, not a child forked for a background job that a signal
# ends before it runs its command.
owner=$BASHPID
trap '[ "$BASHPID" = "$owner" ] && rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected [$2], got [$1]"; }
expect_file() { cmp -s "$1" "$2" || fail "$3: $1 differs from $2"; }
absent() { [ ! -e "$1" ] || fail "$2: $1 should not exist"; }
finish() { [ "$failures" -eq 0 ]; }

# run_case CASE: runs case_CASE of the sourcing script and says whether it passed.
run_case() {
  if [ $# -ne 1 ] || ! declare -F "case_$1" > /dev/null; then
    echo "Usage: $0 CASE, one of:" $(declare -F | sed -n 's/^declare -f case_//p') >&2
    exit 2
  fi
  "case_$1"
  finish
}

# build_error FILE: tessel-build's line for a key list it cannot build into an index.
build_error() { printf 'Error: cannot build double array  %s\n' "$1"; }
