"""python3 -m tessel.shards build [--shard-keys N] [--workers N] [--scheduler ADDRESS]
                                  [--unsorted] [--weights FILE]... KEYS... DIRECTORY

Builds a sharded index of the key files into DIRECTORY: on local worker threads (one per
core, or --workers), or on the Dask cluster whose scheduler is at ADDRESS. Prints the
number of keys and shards. Exit status: 0 when the index was built; 1 when it could not be,
with one line on standard error and the directory as it was (or built, when only the summary
could not be written, as the line says); 2 for a command line that does
not fit; 130 on Ctrl-C before the new index took the old one's place (the directory as it
was; after that, the build goes on to its end and exits with 0).
"""

import argparse
import os
import sys

from . import DEFAULT_SHARD_KEYS, _build

_EPILOG = """\
KEYS are key files, one key per line, read as tessel-build reads a key list (each file's end
ends its last line) and taken in the order given as one list, which must be sorted in byte
order (LC_ALL=C sort) unless --unsorted is given; they are read at offsets, so they are
regular files, not pipes or -. A key's value is the 0-based line number of its first
occurrence in that list; with --unsorted, its rank among the distinct keys. DIRECTORY is
made when missing; its previous index, if any, is replaced whole. Each --weights FILE holds
one integer from 0 to 4294967295 a line; the weight files, taken in the order given as one
list, stand line for line beside the key files' list, and give each shard a companion file
for ranked completion (tessel-lookup -t); a key given more than once takes its greatest weight.

exit status: 0 built; 1 failed (one line on standard error, DIRECTORY as it was; or built,
and the line says its summary could not be written); 2 a command line that does not fit; 130 interrupted before the new index took the old one's place
(DIRECTORY as it was)."""


def _plural(count, word):
    return f"{count} {word}" + ("" if count == 1 else "s")


def _describe(error):
    """An error in one line: an OSError's file and reason, else its text."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{os.fsdecode(error.filename)}: {error.strerror}"
    return str(error) or type(error).__name__


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m tessel.shards",
                                     description="Builds sharded Tessel indexes.")
    commands = parser.add_subparsers(dest="command", required=True)
    making = commands.add_parser(
        "build", help="build a sharded index of key files", epilog=_EPILOG,
        description="Builds a sharded index of the key files KEYS into DIRECTORY.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    making.add_argument("--shard-keys", type=int, default=DEFAULT_SHARD_KEYS, metavar="N",
                        help="about how many keys a shard holds (default %(default)s)")
    making.add_argument("--workers", type=int, default=None, metavar="N",
                        help="local worker threads (default: one per core)")
    making.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="build on the Dask cluster whose scheduler is at ADDRESS instead")
    making.add_argument("--unsorted", action="store_true",
                        help="the keys are in no order: sort them and drop repeats")
    making.add_argument("--weights", action="append", default=None, metavar="FILE",
                        help="a weight file, line for line beside the key files (repeatable)")
    making.add_argument("keys", nargs="+", metavar="KEYS", help="key files")
    making.add_argument("directory", metavar="DIRECTORY", help="the sharded index's directory")
    options = parser.parse_args(argv)
    for name, value in (("--shard-keys", options.shard_keys), ("--workers", options.workers)):
        if value is not None and value < 1:
            # A command line that does not fit: status 2, as argparse gives one.
            print(f"tessel.shards: {name} must be positive", file=sys.stderr)
            return 2
    try:
        # Ctrl-C after the new index took the old one's place waits, and the build has
        # succeeded: nothing to report.
        _build(options.keys, options.directory, shard_keys=options.shard_keys,
               unsorted=options.unsorted, workers=options.workers, scheduler=options.scheduler,
               ignore_after=True, weights=options.weights)
    except KeyboardInterrupt:
        print("tessel.shards: interrupted; the directory is as it was", file=sys.stderr)
        return 130
    except Exception as error:  # pylint: disable=broad-except
        print(f"tessel.shards: {_describe(error)}", file=sys.stderr)
        return 1
    from .. import Index  # pylint: disable=import-outside-toplevel

    with Index(options.directory) as index:
        summary = f"{_plural(len(index), 'key')} in {_plural(len(index.shards or ()), 'shard')}"
    try:
        print(summary, flush=True)
    except OSError as error:
        # The index is built; only its summary is lost (a full or closed output).
        print(f"tessel.shards: standard output: {error.strerror} (the index was built)",
              file=sys.stderr)
        sys.stdout = None  # nothing more to flush at exit
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
