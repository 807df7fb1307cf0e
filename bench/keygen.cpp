// keygen: writes a deterministic, sorted key list to standard output, one key per line.
// Usage: keygen SET COUNT [SEED]; the sets are described in key_sets.h.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "key_sets.h"

namespace {

bool writeKeys(const std::vector<std::string>& keys) {
  std::string out;
  for (const std::string& key : keys) {
    out += key;
    out += '\n';
    if (out.size() > (1u << 20)) {
      if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) return false;
      out.clear();
    }
  }
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    (void)std::fprintf(
        stderr, "Usage: %s words|urls|sorted-urls|bytes|dups|deep|binary COUNT [SEED]\n", argv[0]);
    return 2;
  }
  const std::size_t count = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  if (std::string(argv[1]) == "sorted-urls") {
    // Made and written host by host: any count, in little memory.
    std::string out;
    bool ok = true;
    TesselBench::sortedUrls(count, seed, [&](const std::string& key) {
      out += key;
      out += '\n';
      if (out.size() > (1u << 20)) {
        ok = ok && std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
        out.clear();
      }
    });
    return ok && std::fwrite(out.data(), 1, out.size(), stdout) == out.size() &&
                   std::fflush(stdout) == 0
               ? 0
               : 1;
  }
  const std::vector<std::string> keys = TesselBench::makeKeys(argv[1], count, seed);
  if (keys.empty() && count > 0) {
    (void)std::fprintf(stderr, "keygen: unknown set %s\n", argv[1]);
    return 2;
  }
  return writeKeys(keys) ? 0 : 1;
}
