"""python3 -m tessel.shards build [--shard-keys N] [--workers N] [--scheduler ADDRESS]
                                  [--unsorted] KEYS... DIRECTORY

Builds a sharded index of the key files into DIRECTORY on Dask: on local worker processes
(one per core, or --workers), or on the cluster whose scheduler is at ADDRESS. Prints the
number of keys and shards; on a failure, one line on standard error and status 1; on Ctrl-C,
status 130 with the directory as it was.
"""

import argparse
import sys

from . import DEFAULT_SHARD_KEYS, build


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m tessel.shards",
                                     description="Builds sharded Tessel indexes on Dask.")
    commands = parser.add_subparsers(dest="command", required=True)
    making = commands.add_parser("build", help="build a sharded index of key files")
    making.add_argument("--shard-keys", type=int, default=DEFAULT_SHARD_KEYS, metavar="N",
                        help="about how many keys a shard holds (default %(default)s)")
    making.add_argument("--workers", type=int, default=None, metavar="N",
                        help="local worker processes (default: one per core)")
    making.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="build on the Dask cluster at ADDRESS instead")
    making.add_argument("--unsorted", action="store_true", help="the keys are in no order")
    making.add_argument("keys", nargs="+", metavar="KEYS")
    making.add_argument("directory", metavar="DIRECTORY")
    options = parser.parse_args(argv)
    try:
        build(options.keys, options.directory, shard_keys=options.shard_keys,
              unsorted=options.unsorted, workers=options.workers, scheduler=options.scheduler)
    except KeyboardInterrupt:
        print("tessel.shards: interrupted; the directory is as it was", file=sys.stderr)
        return 130
    except Exception as error:  # pylint: disable=broad-except
        print(f"tessel.shards: {error}", file=sys.stderr)
        return 1
    from .. import ShardedIndex  # pylint: disable=import-outside-toplevel

    with ShardedIndex(options.directory) as index:
        print(f"{len(index)} keys in {len(index.shards)} shards")
    return 0


if __name__ == "__main__":
    sys.exit(main())
