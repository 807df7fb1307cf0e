// Fuzzes DoubleArray::build: the bytes become a key set (sorted or not, with or without
// lengths, with or without values, some negative). The builder must give the status, the
// units and the progress calls of the plain recursive construction, and on success an index
// in which the reader finds exactly the keys, each with its value.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <tessel/double_array.h>
#include <tessel/index_view.h>

#include "format_check.h"
#include "fuzz_support.h"
#include "reference_builder.h"

namespace {

std::vector<std::pair<std::size_t, std::size_t>> progressCalls;

int recordProgress(std::size_t current, std::size_t total) {
  progressCalls.emplace_back(current, total);
  return 0;
}

struct KeySet {
  std::vector<std::string> keys;
  std::vector<int> values;
  bool withLengths = false;
  bool withValues = false;
};

KeySet makeKeySet(FuzzedDataProvider& data) {
  KeySet set;
  const std::uint8_t flags = data.ConsumeIntegral<std::uint8_t>();
  set.withLengths = flags & 1;
  set.withValues = flags & 2;
  const bool sorted = (flags & 4) == 0;
  const bool negativeValues = flags & 8;
  while (data.remaining_bytes() > 0 && set.keys.size() < 512) {
    std::string key = data.ConsumeRandomLengthString(256);
    // Without lengths a key ends at its first NUL byte; the reference sees it that way too.
    if (!set.withLengths) key.resize(std::min(key.size(), key.find('\0')));
    set.keys.push_back(std::move(key));
    const int value = data.ConsumeIntegral<int>();
    set.values.push_back(negativeValues || value >= 0 ? value : ~value);
  }
  // std::string compares as unsigned bytes, the builder's order.
  if (sorted) std::sort(set.keys.begin(), set.keys.end());
  return set;
}

void checkIndex(const Tessel::DoubleArray& trie, const KeySet& set) {
  Tessel::IndexView index;
  FUZZ_CHECK(index.attach(trie.array(), trie.size() * sizeof(*trie.array())) == index.kOk);
  std::vector<std::pair<std::string, int>> expected;
  for (std::size_t i = 0; i < set.keys.size(); ++i) {
    if (i > 0 && set.keys[i] == set.keys[i - 1]) continue;
    expected.emplace_back(set.keys[i], set.withValues ? set.values[i] : static_cast<int>(i));
    std::int32_t value = -1;
    FUZZ_CHECK(index.find(set.keys[i].data(), set.keys[i].size(), value));
    FUZZ_CHECK(value == expected.back().second);
  }
  std::vector<std::pair<std::string, int>> listed;
  FUZZ_CHECK(index.forEach([&](const std::string& key, std::int32_t value) {
    listed.emplace_back(key, value);
  }) == index.kOk);
  FUZZ_CHECK(listed == expected);
  const std::string fault = TesselTest::formatFault(trie);
  if (!fault.empty()) (void)std::fprintf(stderr, "%s\n", fault.c_str());
  FUZZ_CHECK(fault.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const KeySet set = makeKeySet(data);
  std::vector<const char*> pointers;
  std::vector<std::size_t> lengths;
  for (const std::string& key : set.keys) {
    pointers.push_back(key.c_str());
    lengths.push_back(key.size());
  }
  progressCalls.clear();
  Tessel::DoubleArray trie;
  const int status =
      trie.build(set.keys.size(), pointers.data(), set.withLengths ? lengths.data() : nullptr,
                 set.withValues ? set.values.data() : nullptr, recordProgress);

  TesselTest::ReferenceBuilder reference;
  FUZZ_CHECK(status == reference.build(set.keys, set.withValues ? &set.values : nullptr));
  FUZZ_CHECK(progressCalls == reference.progress());
  if (status != trie.kOk) {
    FUZZ_CHECK(trie.save("/nonexistent-dir/never-written.idx") != 0);
    return 0;
  }
  if (set.keys.empty()) {
    FUZZ_CHECK(trie.size() == 0);
    return 0;
  }
  FUZZ_CHECK(trie.size() == reference.units().size());
  for (std::size_t i = 0; i < trie.size(); ++i) {
    FUZZ_CHECK(trie.array()[i].base == reference.units()[i].base);
    FUZZ_CHECK(trie.array()[i].check == reference.units()[i].check);
  }
  checkIndex(trie, set);
  return 0;
}
