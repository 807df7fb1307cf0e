// The batched lookups, the cursor, the key count and value -> key, each against the plain walks
// or brute force, on built and on damaged indexes.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>
#include <tessel/index_view.h>

#include "key_sets.h"
#include "scratch_dir.h"

namespace {

using Tessel::IndexView;
using Match = std::tuple<std::size_t, std::size_t, std::int32_t>;  // query, length, value

// An index over memory it owns: built from keys (with values), or taken as raw bytes.
struct Index {
  Tessel::DoubleArray trie;
  std::string bytes;
  IndexView view;

  explicit Index(const std::vector<std::string>& keys, const std::vector<int>& values = {}) {
    std::vector<const char*> pointers;
    std::vector<std::size_t> lengths;
    for (const std::string& key : keys) {
      pointers.push_back(key.data());
      lengths.push_back(key.size());
    }
    EXPECT_EQ(trie.build(keys.size(), pointers.data(), lengths.data(),
                         values.empty() ? nullptr : values.data()),
              0);
    bytes.assign(reinterpret_cast<const char*>(trie.array()), trie.size() * 8);
    EXPECT_EQ(view.attach(bytes.data(), bytes.size()), IndexView::kOk);
  }
  explicit Index(std::string raw) : bytes(std::move(raw)) {
    EXPECT_EQ(view.attach(bytes.data(), bytes.size()), IndexView::kOk);
  }
};

// Queries near the keys: keys, keys cut, changed or extended, some past 64 bytes.
std::vector<std::string> queriesNear(const std::vector<std::string>& keys, std::size_t count,
                                     std::mt19937& rng) {
  std::vector<std::string> queries;
  for (std::size_t i = 0; i < count; ++i) {
    std::string q = keys.empty() ? std::string() : keys[rng() % keys.size()];
    switch (rng() % 5) {
      case 0:
        q.resize(q.empty() ? 0 : rng() % q.size());
        break;
      case 1:
        if (!q.empty()) {
          char& byte = q[rng() % q.size()];
          byte = static_cast<char>(static_cast<unsigned char>(byte) ^ (1 + rng() % 255));
        }
        break;
      case 2:
        q.append(rng() % 100, static_cast<char>('a' + rng() % 3));
        break;
      default:
        break;
    }
    queries.push_back(q);
  }
  return queries;
}

// Batched and single answers for the same queries must be equal.
void expectBatchesMatch(const IndexView& view, const std::vector<std::string>& queries) {
  std::vector<const char*> pointers;
  std::vector<std::size_t> lengths;
  for (const std::string& q : queries) {
    pointers.push_back(q.data());
    lengths.push_back(q.size());
  }
  std::vector<std::int32_t> values(queries.size(), 12345);
  view.findMany(queries.size(), pointers.data(), lengths.data(), values.data());
  std::vector<Match> want, got;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    std::int32_t value = -1;
    ASSERT_EQ(values[i], view.find(queries[i].data(), queries[i].size(), value) ? value : -1)
        << "query " << i;
    view.commonPrefixes(
        queries[i].data(), queries[i].size(),
        [&](std::size_t length, std::int32_t v) { want.emplace_back(i, length, v); });
  }
  const std::size_t count = view.commonPrefixesMany(
      queries.size(), pointers.data(), lengths.data(),
      [&](std::size_t q, std::size_t length, std::int32_t v) { got.emplace_back(q, length, v); });
  EXPECT_EQ(count, got.size());
  EXPECT_EQ(got, want);
}

TEST(BatchedLookupTest, MatchesSingleLookupsOnGeneratedSets) {
  std::mt19937 rng(21);
  for (const char* set : {"words", "urls", "bytes", "dups", "deep"}) {
    SCOPED_TRACE(set);
    const auto keys = TesselBench::makeKeys(set, std::strcmp(set, "deep") == 0 ? 200 : 20000, 4);
    const Index index(keys);
    expectBatchesMatch(index.view, queriesNear(keys, 5000, rng));
    // Sizes around the walks in flight and the blocks, and a single long query.
    for (std::size_t size : {0, 1, 63, 64, 65, 1025}) {
      expectBatchesMatch(index.view, queriesNear(keys, size, rng));
    }
  }
  // A chain of keys a, aa, ... longer than the slots kept per query.
  std::vector<std::string> chain;
  for (std::size_t n = 0; n <= 300; n += 3) chain.push_back(std::string(n, 'a'));
  const Index index(chain);
  expectBatchesMatch(index.view, {std::string(400, 'a'), std::string(70, 'a'), "", "b"});
}

TEST(BatchedLookupTest, MatchesSingleLookupsOnDamagedIndexes) {
  std::mt19937 rng(8);
  const auto keys = TesselBench::makeKeys("words", 3000, 2);
  std::vector<std::string> letters;
  for (int n = 0; n < 300; ++n) {
    std::string q;
    for (std::size_t k = rng() % 8; k > 0; --k) q.push_back(static_cast<char>('a' + rng() % 4));
    letters.push_back(q);
  }
  for (int round = 0; round < 30; ++round) {
    const Index built(keys);
    std::string bytes = built.bytes;
    if (round % 2 == 0) {
      // Units overwritten with small numbers, so that many claim each other.
      for (int n = 0; n < 200; ++n) {
        const std::size_t unit = 1 + rng() % (bytes.size() / 8 - 1);
        const std::int32_t fields[2] = {static_cast<std::int32_t>(rng() % 400) - 100,
                                        static_cast<std::int32_t>(rng() % 400)};
        std::memcpy(&bytes[unit * 8], fields, sizeof fields);
      }
    } else {
      bytes.resize((258 + rng() % (bytes.size() / 8 - 258)) * 8);  // truncated
    }
    const Index damaged(bytes);
    expectBatchesMatch(damaged.view, queriesNear(keys, 500, rng));
    expectBatchesMatch(damaged.view, letters);
  }
}

// Keys that begin with prefix, from a sorted map.
std::vector<std::pair<std::string, std::int32_t>> bruteForce(
    const std::map<std::string, std::int32_t>& keys, const std::string& prefix, std::size_t limit) {
  std::vector<std::pair<std::string, std::int32_t>> out;
  for (auto it = keys.lower_bound(prefix);
       it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0 && out.size() < limit;
       ++it) {
    out.emplace_back(*it);
  }
  return out;
}

TEST(CursorTest, ListsWithLimitsStopsAndHeldCursorsAsBruteForce) {
  const auto keys = TesselBench::makeKeys("words", 4000, 9);
  const Index index(keys);
  std::map<std::string, std::int32_t> values;
  for (std::size_t i = 0; i < keys.size(); ++i) values.emplace(keys[i], static_cast<int>(i));
  std::mt19937 rng(3);
  IndexView::Cursor held, other;
  held.reset(index.view, "", 0);
  auto all = values.begin();
  for (int n = 0; n < 400; ++n) {
    const std::string prefix = keys[rng() % keys.size()].substr(0, rng() % 4);
    const std::size_t limit = n % 3 == 0 ? SIZE_MAX : rng() % 12;
    std::vector<std::pair<std::string, std::int32_t>> got;
    const std::size_t count = index.view.predict(
        prefix.data(), prefix.size(),
        [&](const std::string& k, std::int32_t v) { got.emplace_back(k, v); }, other, limit);
    EXPECT_EQ(got, bruteForce(values, prefix, limit)) << prefix;
    EXPECT_EQ(count, got.size());

    // A callback that says stop after the third key.
    got.clear();
    index.view.predict(prefix.data(), prefix.size(), [&](const std::string& k, std::int32_t v) {
      got.emplace_back(k, v);
      return got.size() < 3;
    });
    EXPECT_EQ(got, bruteForce(values, prefix, 3));

    // The held cursor goes on through all keys, one per round, between the other calls.
    ASSERT_TRUE(held.next());
    EXPECT_EQ(held.key(), all->first);
    EXPECT_EQ(held.value(), all->second);
    ++all;
  }
  other.reset(index.view, "zzzzzz", 6);
  EXPECT_FALSE(other.next());
  IndexView::Cursor unused;
  EXPECT_FALSE(unused.next());

  std::size_t listed = 0;
  EXPECT_EQ(index.view.forEach([&](const std::string&, std::int32_t) { return ++listed < 10; }),
            IndexView::kOk);
  EXPECT_EQ(listed, 10u);
}

TEST(KeyCountTest, CountsDistinctKeys) {
  for (const char* set : {"words", "dups", "bytes"}) {
    const auto keys = TesselBench::makeKeys(set, 5000, 1);
    const Index index(keys);
    std::size_t listed = 0;
    index.view.forEach([&](const std::string&, std::int32_t) { ++listed; });
    EXPECT_EQ(index.view.keyCount(), listed) << set;
  }
  const Index empty(std::vector<std::string>{""});
  EXPECT_EQ(empty.view.keyCount(), 1u);
  EXPECT_EQ(IndexView().keyCount(), 0u);
}

TEST(RestoreKeyTest, GivesBackEveryKey) {
  for (const char* set : {"words", "urls", "bytes", "deep"}) {
    SCOPED_TRACE(set);
    const auto keys = TesselBench::makeKeys(set, std::strcmp(set, "deep") == 0 ? 200 : 10000, 5);
    const Index index(keys);
    std::string key;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      ASSERT_TRUE(index.view.restoreKey(static_cast<std::int32_t>(i), key));
      ASSERT_EQ(key, keys[i]);
    }
    EXPECT_FALSE(index.view.restoreKey(static_cast<std::int32_t>(keys.size()), key));
    EXPECT_FALSE(index.view.restoreKey(-1, key));
  }
}

TEST(RestoreKeyTest, SharedAndSparseValues) {
  // b and d share 7, the first in byte order comes back; values far apart use the sparse table.
  const Index shared({"a", "b", "c", "d"}, {2000000000, 7, 5, 7});
  std::string key;
  ASSERT_TRUE(shared.view.restoreKey(7, key));
  EXPECT_EQ(key, "b");
  ASSERT_TRUE(shared.view.restoreKey(2000000000, key));
  EXPECT_EQ(key, "a");
  ASSERT_TRUE(shared.view.restoreKey(5, key));
  EXPECT_EQ(key, "c");
  EXPECT_FALSE(shared.view.restoreKey(6, key));
  EXPECT_FALSE(shared.view.restoreKey(2000000001, key));

  const Index dups(std::vector<std::string>{"", "x", "x", "y"});
  ASSERT_TRUE(dups.view.restoreKey(0, key));
  EXPECT_EQ(key, "");
  EXPECT_FALSE(dups.view.restoreKey(2, key));  // the second x keeps the first one's value
  ASSERT_TRUE(dups.view.restoreKey(3, key));
  EXPECT_EQ(key, "y");
}

TEST(RestoreKeyTest, DamagedIndexesGiveKeysThatFindAgreesWith) {
  std::mt19937 rng(6);
  for (int round = 0; round < 20; ++round) {
    std::string bytes(std::size_t{300 + rng() % 3000} * 8, '\0');
    for (std::size_t i = 8; i < bytes.size(); i += 8) {
      const std::int32_t fields[2] = {static_cast<std::int32_t>(rng() % 400) - 100,
                                      static_cast<std::int32_t>(rng() % 400)};
      std::memcpy(&bytes[i], fields, sizeof fields);
    }
    const std::int32_t root[2] = {1, 0};
    std::memcpy(&bytes[0], root, sizeof root);
    const Index index(bytes);
    const auto start = std::chrono::steady_clock::now();
    std::string key;
    for (std::int32_t value = 0; value < 120; ++value) {
      if (!index.view.restoreKey(value, key)) continue;
      std::int32_t found = -1;
      EXPECT_TRUE(index.view.find(key.data(), key.size(), found));
      EXPECT_EQ(found, value);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
}

TEST(DamagedListingTest, UnitsPastCode256AreNoChildren) {
  // The root's group is base 1: units 1 + 257 and 1 + 258 claim it, but no byte leads there.
  // Unit 556 gives some unit the code 256, so that the codes up to 259 are compared at once.
  std::string bytes(std::size_t{600} * 8, '\0');
  const std::int32_t units[][3] = {{0, 1, 0},     {1, -1, 1},     {258, 300, 1},
                                   {259, 300, 1}, {300, -3, 300}, {556, -4, 300}};
  for (const auto& [unit, base, check] : units) {
    std::memcpy(&bytes[static_cast<std::size_t>(unit) * 8], &base, 4);
    std::memcpy(&bytes[static_cast<std::size_t>(unit) * 8 + 4], &check, 4);
  }
  const Index index(bytes);
  std::vector<std::pair<std::string, std::int32_t>> listed;
  EXPECT_EQ(
      index.view.forEach([&](const std::string& k, std::int32_t v) { listed.emplace_back(k, v); }),
      IndexView::kOk);
  EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::int32_t>>{{"", 0}}));
  std::string key;
  EXPECT_FALSE(index.view.restoreKey(2, key));
}

class OpenTest : public TesselTest::ScratchDirTest {};

TEST_F(OpenTest, FifosAndDirectoriesAreRefusedAtOnce) {
  IndexView view;
  const std::string fifo = path("fifo.idx");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(view.open(fifo.c_str()), IndexView::kNotAnIndex);  // no writer: must not wait
  errno = 0;
  EXPECT_EQ(view.open(dir_.c_str()), IndexView::kCannotOpen);
  EXPECT_EQ(errno, EISDIR);
  errno = 0;
  EXPECT_EQ(view.open(path("missing.idx").c_str()), IndexView::kCannotOpen);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
