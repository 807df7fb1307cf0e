// Test helper: splits a sorted key file into shards with the library alone (no Dask), as the
// distributed build does, and writes the manifest.
// Usage: make-shards KEYS DIRECTORY COUNT
#include <cstdio>
#include <cstdlib>

#include "shard_maker.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    (void)std::fprintf(stderr, "Usage: make-shards KEYS DIRECTORY COUNT\n");
    return 2;
  }
  return TesselTest::makeShards(argv[1], argv[2], std::strtoul(argv[3], nullptr, 10)) == 0 ? 0 : 1;
}
