// In-process build speed: keys already in memory, from 10^4 to 10^7 keys, so that the growth of
// the cost with the key count shows.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <tessel/double_array.h>

#include "key_sets.h"

namespace {

// Key sets are made once per size and kept, as making them costs more than building.
const std::vector<const char*>& keysOf(const std::string& set, std::size_t count) {
  static std::map<std::pair<std::string, std::size_t>, std::vector<std::string>> keys;
  static std::map<std::pair<std::string, std::size_t>, std::vector<const char*>> pointers;
  const auto id = std::make_pair(set, count);
  auto found = pointers.find(id);
  if (found == pointers.end()) {
    keys[id] = TesselBench::makeKeys(set, count, 1);
    std::vector<const char*>& list = pointers[id];
    for (const std::string& key : keys[id]) list.push_back(key.c_str());
    found = pointers.find(id);
  }
  return found->second;
}

void buildKeys(benchmark::State& state, const std::string& set) {
  const auto& keys = keysOf(set, static_cast<std::size_t>(state.range(0)));
  std::size_t units = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused by design
  for (auto _ : state) {
    Tessel::DoubleArray trie;
    if (trie.build(keys.size(), keys.data()) != 0) state.SkipWithError("build failed");
    units = trie.size();
    benchmark::DoNotOptimize(trie.array());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * keys.size()));
  state.counters["units"] = static_cast<double>(units);
}

void BM_BuildWords(benchmark::State& state) {
  buildKeys(state, "words");
}
void BM_BuildUrls(benchmark::State& state) {
  buildKeys(state, "urls");
}

BENCHMARK(BM_BuildWords)
    ->RangeMultiplier(10)
    ->Range(10000, 10000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildUrls)->RangeMultiplier(10)->Range(10000, 10000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
