# Shared by the program tests: a scratch directory that is removed at exit, and assertions that
# count failures instead of stopping at the first. Source it, run the case, then `finish`.
set -u

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

# build_error FILE: tessel-build's line for a key list it cannot build into an index.
build_error() { printf 'Error: cannot build double array  %s\n' "$1"; }
