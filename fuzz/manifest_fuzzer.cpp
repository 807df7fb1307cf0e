// Fuzzes the manifest of a sharded index: any text must parse or be refused with a reason,
// never crash or take long; what parses is written back as the same manifest, and what is
// written parses again to itself.

#include <cstddef>
#include <cstdint>
#include <string>

#include <tessel/manifest.h>

#include "fuzz_support.h"

namespace {

bool sameShards(const Tessel::Manifest& a, const Tessel::Manifest& b) {
  if (a.generation != b.generation || a.shards.size() != b.shards.size()) return false;
  for (std::size_t i = 0; i < a.shards.size(); ++i) {
    const Tessel::ShardEntry &x = a.shards[i], &y = b.shards[i];
    if (x.file != y.file || x.keys != y.keys || x.lines != y.lines || x.base != y.base ||
        x.bytes != y.bytes || x.crc32c != y.crc32c || x.first != y.first || x.last != y.last) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Tessel::Manifest manifest;
  const std::string why =
      Tessel::parseManifest(reinterpret_cast<const char*>(bytes), size, manifest);
  if (!why.empty()) {
    FUZZ_CHECK(why.compare(0, 5, "line ") == 0);
    return 0;
  }
  for (const Tessel::ShardEntry& shard : manifest.shards) {
    FUZZ_CHECK(shard.file.find('/') == std::string::npos && shard.file != ".." &&
               shard.file != ".");
    FUZZ_CHECK(shard.first <= shard.last && shard.keys > 0 && shard.keys <= shard.lines);
  }
  const std::string text = Tessel::manifestText(manifest);
  Tessel::Manifest again;
  FUZZ_CHECK(Tessel::parseManifest(text.data(), text.size(), again).empty());
  FUZZ_CHECK(sameShards(manifest, again));
  return 0;
}
