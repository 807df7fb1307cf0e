"""Where the tests find the programs of the test build: tessel-lookup for their cross-checks,
make-shards for sharded indexes made without Dask."""
import os
from pathlib import Path
from typing import Optional


def tessel_lookup() -> Optional[str]:
    """TESSEL_LOOKUP, else the test build's program beside these tests, else None (no check)."""
    named = os.environ.get("TESSEL_LOOKUP")
    if named:
        return named
    built = Path(__file__).resolve().parents[2] / "build" / "test" / "tessel-lookup"
    return str(built) if built.is_file() and os.access(built, os.X_OK) else None


def make_shards() -> Optional[str]:
    """MAKE_SHARDS, else the test build's program, else None (no sharded index without Dask)."""
    named = os.environ.get("MAKE_SHARDS")
    if named:
        return named
    built = Path(__file__).resolve().parents[2] / "build" / "test" / "make-shards"
    return str(built) if built.is_file() and os.access(built, os.X_OK) else None
