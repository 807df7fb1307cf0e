"""Where the tests find the programs of the test build: tessel-lookup for their cross-checks,
make-shards for sharded indexes made without Dask."""
import os
from pathlib import Path
from typing import Optional


def _program(variable: str, name: str) -> Optional[str]:
    """The program that `variable` names, else the test build's beside these tests, else None
    (the checks that need it are left out)."""
    named = os.environ.get(variable)
    if named:
        return named
    built = Path(__file__).resolve().parents[2] / "build" / "test" / name
    return str(built) if built.is_file() and os.access(built, os.X_OK) else None


def tessel_lookup() -> Optional[str]:
    return _program("TESSEL_LOOKUP", "tessel-lookup")


def make_shards() -> Optional[str]:
    return _program("MAKE_SHARDS", "make-shards")


def tessel_weights() -> Optional[str]:
    return _program("TESSEL_WEIGHTS", "tessel-weights")
