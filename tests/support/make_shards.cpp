// Test helper: splits a sorted key file into shards with the library alone (no Dask), as the
// distributed build does, and writes the manifest.
// Usage: make-shards KEYS DIRECTORY COUNT
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <tessel/key_lines.h>
#include <tessel/manifest.h>
#include <tessel/shard_builder.h>
#include <tessel/shard_directory.h>

int main(int argc, char** argv) {
  if (argc != 4) {
    (void)std::fprintf(stderr, "Usage: make-shards KEYS DIRECTORY COUNT\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  Tessel::KeyLines lines;
  if (fd < 0 || lines.map(fd) != 0) return 1;
  const std::size_t count = lines.count(), wanted = std::strtoul(argv[3], nullptr, 10);
  Tessel::Manifest manifest;
  manifest.generation = "test";
  std::uint64_t base = 0;
  for (std::size_t from = 0, n = 0; from < count; ++n) {
    std::size_t to = std::min(count, from + (count + wanted - 1) / wanted);
    // Equal keys stay in one shard.
    while (to < count && lines.keyLength(to) == lines.keyLength(to - 1) &&
           std::string(lines.line(to), lines.keyLength(to)) ==
               std::string(lines.line(to - 1), lines.keyLength(to - 1))) {
      ++to;
    }
    const auto start = static_cast<std::uint64_t>(lines.line(from) - lines.text());
    const auto end = to == count ? 0 : static_cast<std::uint64_t>(lines.line(to) - lines.text());
    const std::string name = "shard-test-" + std::to_string(n) + ".idx";
    const std::string path = std::string(argv[2]) + "/" + name;
    Tessel::ShardBuild built = Tessel::buildShard(fd, start, end, {path.c_str()});
    if (built.status != 0 || !built.saved) return 1;
    built.entry.file = name;
    built.entry.base = base;
    base += built.entry.lines;
    manifest.shards.push_back(built.entry);
    from = to;
  }
  return Tessel::writeManifest(argv[2], manifest) == 0 ? 0 : 1;
}
