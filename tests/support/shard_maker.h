#pragma once

// Splits a sorted key file into shards with the library alone (no Dask), as the distributed
// build does, and writes the manifest: for make-shards and the unit tests.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include <tessel/key_lines.h>
#include <tessel/manifest.h>
#include <tessel/shard_builder.h>
#include <tessel/shard_directory.h>

namespace TesselTest {

// Builds the key file `keys` into about `wanted` shards of equal numbers of lines (a run of
// equal keys stays in one) in the existing directory `directory`, whose manifest it writes.
// Returns 0, or -1 when a file cannot be read, built or written.
inline int makeShards(const std::string& keys, const std::string& directory, std::size_t wanted) {
  const int fd = ::open(keys.c_str(), O_RDONLY | O_CLOEXEC);
  Tessel::KeyLines lines;
  if (fd < 0 || lines.map(fd) != 0 || wanted == 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  const std::size_t count = lines.count();
  auto key = [&](std::size_t i) { return std::string(lines.line(i), lines.keyLength(i)); };
  Tessel::Manifest manifest;
  manifest.generation = "test";
  std::uint64_t base = 0;
  int status = 0;
  for (std::size_t from = 0, n = 0; status == 0 && from < count; ++n) {
    std::size_t to = std::min(count, from + (count + wanted - 1) / wanted);
    while (to < count && key(to) == key(to - 1)) ++to;
    const auto start = static_cast<std::uint64_t>(lines.line(from) - lines.text());
    const auto end = to == count ? 0 : static_cast<std::uint64_t>(lines.line(to) - lines.text());
    const std::string name = "shard-test-" + std::to_string(n) + ".idx";
    std::string path = directory;
    path += '/';
    path += name;
    Tessel::ShardBuild built = Tessel::buildShard(fd, start, end, {path.c_str()});
    if (built.status != 0 || !built.saved) status = -1;
    built.entry.file = name;
    built.entry.base = base;
    base += built.entry.lines;
    manifest.shards.push_back(built.entry);
    from = to;
  }
  ::close(fd);
  return status == 0 ? Tessel::writeManifest(directory, manifest) : -1;
}

}  // namespace TesselTest
