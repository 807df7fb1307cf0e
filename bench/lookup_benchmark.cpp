// In-process query speed on the word list (/usr/share/dict/words when installed, otherwise a
// generated word set): exact lookups and common-prefix searches, queries in random order.
#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <tessel/double_array.h>
#include <tessel/index_view.h>

#include "key_sets.h"

namespace {

struct WordIndex {
  std::vector<std::string> keys;
  Tessel::DoubleArray trie;
  Tessel::IndexView view;
  std::vector<std::string> queries;  // half keys, half not, shuffled
  std::vector<const char*> queryPointers;
  std::vector<std::size_t> queryLengths;

  WordIndex() {
    std::ifstream words("/usr/share/dict/words");
    for (std::string line; std::getline(words, line);) keys.push_back(line);
    if (keys.empty()) keys = TesselBench::makeKeys("words", 650000, 1);
    std::sort(keys.begin(), keys.end());
    std::vector<const char*> pointers;
    for (const std::string& key : keys) pointers.push_back(key.c_str());
    trie.build(pointers.size(), pointers.data());
    view.attach(trie.array(), trie.size() * sizeof(*trie.array()));
    std::mt19937 rng(1);
    for (std::size_t i = 0; i < 1000000; ++i) {
      queries.push_back(keys[rng() % keys.size()] + (i % 2 ? "~" : ""));
    }
    for (const std::string& query : queries) {
      queryPointers.push_back(query.data());
      queryLengths.push_back(query.size());
    }
  }
};

const WordIndex& wordIndex() {
  static const WordIndex index;
  return index;
}

void BM_ExactLookup(benchmark::State& state) {
  const WordIndex& index = wordIndex();
  std::size_t i = 0, found = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused by design
  for (auto _ : state) {
    const std::string& query = index.queries[i++ % index.queries.size()];
    std::int32_t value;
    found += index.view.find(query.data(), query.size(), value);
  }
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_CommonPrefixSearch(benchmark::State& state) {
  const WordIndex& index = wordIndex();
  std::size_t i = 0, matches = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused by design
  for (auto _ : state) {
    const std::string& query = index.queries[i++ % index.queries.size()];
    matches +=
        index.view.commonPrefixes(query.data(), query.size(), [](std::size_t, std::int32_t) {});
  }
  benchmark::DoNotOptimize(matches);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// The same queries, answered kBatch at a time by the batched calls.
constexpr std::size_t kBatch = 1024;

void BM_ExactLookupBatched(benchmark::State& state) {
  const WordIndex& index = wordIndex();
  std::vector<std::int32_t> values(kBatch);
  std::size_t i = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused by design
  for (auto _ : state) {
    const std::size_t at = i++ % (index.queries.size() / kBatch) * kBatch;
    index.view.findMany(kBatch, index.queryPointers.data() + at, index.queryLengths.data() + at,
                        values.data());
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}

void BM_CommonPrefixSearchBatched(benchmark::State& state) {
  const WordIndex& index = wordIndex();
  std::size_t i = 0, matches = 0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the loop variable is unused by design
  for (auto _ : state) {
    const std::size_t at = i++ % (index.queries.size() / kBatch) * kBatch;
    matches += index.view.commonPrefixesMany(kBatch, index.queryPointers.data() + at,
                                             index.queryLengths.data() + at,
                                             [](std::size_t, std::size_t, std::int32_t) {});
  }
  benchmark::DoNotOptimize(matches);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}

BENCHMARK(BM_ExactLookup);
BENCHMARK(BM_ExactLookupBatched);
BENCHMARK(BM_CommonPrefixSearch);
BENCHMARK(BM_CommonPrefixSearchBatched);

}  // namespace

BENCHMARK_MAIN();
