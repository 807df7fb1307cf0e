#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>
#include <tessel/index.h>
#include <tessel/index_view.h>
#include <tessel/weights.h>

#include "key_sets.h"
#include "scratch_dir.h"

#if defined(__SANITIZE_ADDRESS__)
#define TESSEL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSEL_TEST_ASAN 1
#endif
#endif
#if TESSEL_TEST_ASAN
// The sanitizer's own count of the bytes the heap holds (its allocator_interface.h).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using Tessel::IndexView;

// A built trie and its keys; the view reads the trie's memory.
struct Built {
  std::vector<std::string> keys;
  Tessel::DoubleArray trie;
  IndexView view;

  explicit Built(std::vector<std::string> sortedKeys) : keys(std::move(sortedKeys)) {
    std::vector<const char*> pointers;
    std::vector<std::size_t> lengths;
    for (const std::string& key : keys) {
      pointers.push_back(key.data());
      lengths.push_back(key.size());
    }
    EXPECT_EQ(trie.build(keys.size(), pointers.data(), lengths.data()), 0);
    EXPECT_EQ(view.attach(trie.array(), trie.size() * sizeof(*trie.array())), IndexView::kOk);
  }

  // The value of each distinct key: the index of its first occurrence.
  std::vector<std::pair<std::string, std::int32_t>> expected() const {
    std::vector<std::pair<std::string, std::int32_t>> pairs;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (i == 0 || keys[i] != keys[i - 1]) pairs.emplace_back(keys[i], static_cast<int>(i));
    }
    return pairs;
  }
};

std::vector<std::pair<std::string, std::int32_t>> dump(const IndexView& view, int* status) {
  std::vector<std::pair<std::string, std::int32_t>> pairs;
  *status = view.forEach([&](const std::string& k, std::int32_t v) { pairs.emplace_back(k, v); });
  return pairs;
}

void expectRoundTrip(const Built& built, std::mt19937& rng) {
  const auto expected = built.expected();
  std::set<std::string> present;
  for (const auto& [key, value] : expected) {
    std::int32_t found = -1;
    ASSERT_TRUE(built.view.find(key.data(), key.size(), found)) << key;
    ASSERT_EQ(found, value) << key;
    present.insert(key);
  }
  // Keys with a byte changed, cut or added are found exactly when they are keys too.
  for (int n = 0; n < 2000; ++n) {
    std::string probe = expected[rng() % expected.size()].first;
    switch (rng() % 3) {
      case 0:
        if (!probe.empty()) {
          char& byte = probe[rng() % probe.size()];
          byte = static_cast<char>(byte ^ (1 + rng() % 255));
        }
        break;
      case 1:
        probe.resize(probe.empty() ? 0 : rng() % probe.size());
        break;
      default:
        probe.push_back(static_cast<char>(rng()));
    }
    std::int32_t found;
    ASSERT_EQ(built.view.find(probe.data(), probe.size(), found), present.count(probe) == 1);
  }
  int status;
  EXPECT_EQ(dump(built.view, &status), expected);
  EXPECT_EQ(status, IndexView::kOk);
}

TEST(IndexViewTest, RoundTripsOnGeneratedSets) {
  std::mt19937 rng(11);
  for (const char* set : {"words", "urls", "bytes", "dups", "deep"}) {
    SCOPED_TRACE(set);
    const Built built(TesselBench::makeKeys(set, std::strcmp(set, "deep") == 0 ? 300 : 20000, 3));
    expectRoundTrip(built, rng);
  }
}

TEST(IndexViewTest, EmptyKeyAndBytesOfEveryValue) {
  std::vector<std::string> keys = {""};
  for (int c = 0; c < 256; ++c) keys.push_back(std::string(1, static_cast<char>(c)) + "x");
  std::sort(keys.begin(), keys.end());
  const Built built(keys);
  std::mt19937 rng(1);
  expectRoundTrip(built, rng);
}

TEST(IndexViewTest, CommonPrefixesAndPredictionMatchBruteForce) {
  const Built built(TesselBench::makeKeys("words", 5000, 8));
  const auto expected = built.expected();
  std::map<std::string, std::int32_t> values(expected.begin(), expected.end());
  std::mt19937 rng(2);
  for (int n = 0; n < 500; ++n) {
    std::string query = expected[rng() % expected.size()].first + (n % 2 ? "ing" : "");
    query.resize(std::min(query.size(), std::size_t{1} + rng() % 12));
    std::vector<std::pair<std::size_t, std::int32_t>> want, got;
    for (std::size_t length = 0; length <= query.size(); ++length) {
      const auto it = values.find(query.substr(0, length));
      if (it != values.end()) want.emplace_back(length, it->second);
    }
    EXPECT_EQ(
        built.view.commonPrefixes(query.data(), query.size(),
                                  [&](std::size_t l, std::int32_t v) { got.emplace_back(l, v); }),
        want.size());
    EXPECT_EQ(got, want) << query;

    std::vector<std::pair<std::string, std::int32_t>> wantKeys, gotKeys;
    for (auto it = values.lower_bound(query); it != values.end() && it->first.rfind(query, 0) == 0;
         ++it) {
      wantKeys.emplace_back(*it);
    }
    built.view.predict(query.data(), query.size(),
                       [&](const std::string& k, std::int32_t v) { gotKeys.emplace_back(k, v); });
    EXPECT_EQ(gotKeys, wantKeys) << query;
  }
}

TEST(IndexViewTest, TraversalGoesOnAcrossBuffers) {
  const Built built({"abc", "abcdef", "abd"});
  std::size_t node = 0, pos = 0;
  EXPECT_EQ(built.view.traverse("ab", 2, node, pos), IndexView::kNoValue);
  pos = 0;
  EXPECT_EQ(built.view.traverse("c", 1, node, pos), 0);
  pos = 0;
  EXPECT_EQ(built.view.traverse("dex", 3, node, pos), IndexView::kNoPath);
  EXPECT_EQ(pos, 2u);  // stopped before the x
  pos = 0;
  node = 0;
  EXPECT_EQ(built.view.traverse("abcdef", 6, node, pos), 1);
}

class IndexFileTest : public TesselTest::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    path_ = path("index.idx");
  }
  const char* write(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
    return path_.c_str();
  }
  std::string path_;
};

TEST_F(IndexFileTest, OpensWhatSaveWrote) {
  const Built built(TesselBench::makeKeys("urls", 3000, 5));
  ASSERT_EQ(built.trie.save(path_.c_str()), 0);
  IndexView view;
  ASSERT_EQ(view.open(path_.c_str()), IndexView::kOk);
  EXPECT_EQ(view.size(), built.trie.size());
  int status;
  EXPECT_EQ(dump(view, &status), built.expected());
  IndexView moved(std::move(view));
  std::int32_t value;
  EXPECT_TRUE(moved.find(built.keys[7].data(), built.keys[7].size(), value));
  EXPECT_EQ(view.size(), 0u);  // NOLINT(bugprone-use-after-move,clang-analyzer-cplusplus.Move): the
                               // source is left empty
}

TEST_F(IndexFileTest, RefusesWhatIsNotAnIndex) {
  IndexView view;
  EXPECT_EQ(view.open(path("no-such-file.idx").c_str()), IndexView::kCannotOpen);
  EXPECT_EQ(view.open(dir_.c_str()), IndexView::kCannotOpen);
  EXPECT_EQ(view.open(write("")), IndexView::kNotAnIndex);
  std::string units(std::size_t{258} * 8, '\0');
  EXPECT_EQ(view.open(write(units)), IndexView::kNotAnIndex);  // root is (0, 0)
  units[0] = 1;
  EXPECT_EQ(view.open(write(units)), IndexView::kOk);
  EXPECT_EQ(view.open(write(units + "x")), IndexView::kNotAnIndex);
  EXPECT_EQ(view.open(write(units.substr(0, std::size_t{257} * 8))), IndexView::kNotAnIndex);
  std::int32_t value;
  EXPECT_FALSE(view.find("", 0, value));  // a refused file leaves the view empty
}

// Units of a hand-made index.
struct Units {
  std::vector<std::pair<std::int32_t, std::uint32_t>> units;
  explicit Units(std::size_t count) : units(count) { units[0] = {1, 0}; }
  std::string bytes() const {
    std::string out;
    for (const auto& [base, check] : units) {
      out.append(reinterpret_cast<const char*>(&base), 4);
      out.append(reinterpret_cast<const char*>(&check), 4);
    }
    return out;
  }
};

// Runs every kind of query on a damaged index; each must end quickly, whatever it answers.
int queryEverything(const std::string& bytes) {
  IndexView view;
  if (view.attach(bytes.data(), bytes.size()) != IndexView::kOk) return IndexView::kNotAnIndex;
  const auto start = std::chrono::steady_clock::now();
  std::mt19937 rng(4);
  for (int n = 0; n < 200; ++n) {
    std::string query;
    for (std::size_t k = rng() % 6; k > 0; --k) query.push_back(static_cast<char>(rng() % 4 + 'a'));
    std::int32_t value;
    view.find(query.data(), query.size(), value);
    view.commonPrefixes(query.data(), query.size(), [](std::size_t, std::int32_t) {});
    view.predict(query.data(), query.size(), [](const std::string&, std::int32_t) {});
  }
  const int status = view.forEach([](const std::string&, std::int32_t) {});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  return status;
}

TEST(DamagedIndexTest, SharedBasesAndCyclesAreCorrupt) {
  // 'a' (code 98) and 'b' (code 99) both lead to base 200: their children are reached twice.
  Units shared(1000);
  shared.units[99] = {200, 1};
  shared.units[100] = {200, 1};
  shared.units[200] = {-1, 200};
  EXPECT_EQ(queryEverything(shared.bytes()), IndexView::kCorrupt);

  // 'a' leads back to base 1: the root's group again, a cycle.
  Units cycle(1000);
  cycle.units[99] = {1, 1};
  EXPECT_EQ(queryEverything(cycle.bytes()), IndexView::kCorrupt);
}

TEST(DamagedIndexTest, BasesPastTheEndAndRandomBytesEndNormally) {
  Units past(600);
  past.units[99] = {0x7FFFFFF0, 1};
  past.units[100] = {590, 1};
  past.units[590] = {-5, 590};
  EXPECT_EQ(queryEverything(past.bytes()), IndexView::kOk);

  std::mt19937 rng(9);
  for (int round = 0; round < 20; ++round) {
    Units noise(300 + rng() % 3000);
    for (std::size_t i = 1; i < noise.units.size(); ++i) {
      // Small bases and checks, so that many units claim each other.
      noise.units[i] = {static_cast<std::int32_t>(rng() % 400) - 100,
                        static_cast<std::uint32_t>(rng() % 400)};
    }
    const int status = queryEverything(noise.bytes());
    EXPECT_TRUE(status == IndexView::kOk || status == IndexView::kCorrupt);
  }
}

// Nodes that share one group of children, each leading back to the group: a ranked search
// took up 255 children a step, each with a longer path, until 32 KB of units had cost gigabytes.
class TopSearchTest : public TesselTest::ScratchDirTest {};

TEST_F(TopSearchTest, SharedChildrenEndTheSearchAsCorrupt) {
  Units shared(4096);
  for (std::size_t u = 2; u <= 256; ++u) shared.units[u] = {1, 1};
  const std::string bytes = shared.bytes();
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::string weights = path("shared.idx.weights");
  ASSERT_TRUE(Tessel::saveWeights(weights, data, shared.units.size(), nullptr, 0).ok());
  Tessel::WeightTable table;
  ASSERT_TRUE(table.load(weights, data, shared.units.size()).ok());
  IndexView view;
  ASSERT_EQ(view.attach(bytes.data(), bytes.size()), IndexView::kOk);
  const auto start = std::chrono::steady_clock::now();
  for (const std::size_t n : {std::size_t{1}, std::size_t{1} << 30}) {
    EXPECT_EQ(view.top(table, "", 0, n, [](const std::string&, long, std::uint32_t) {}),
              IndexView::kCorrupt);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The fault is the units': the failure names the index, not its companion.
  std::ofstream(path("shared.idx"), std::ios::binary) << bytes;
  Tessel::Index index;
  ASSERT_TRUE(index.open(path("shared.idx").c_str()).ok());
  const Tessel::Status failure =
      index.top("", 0, 1, [](const std::string&, long long, std::uint32_t) {});
  EXPECT_EQ(failure.code(), Tessel::kIndexCorrupt);
  EXPECT_EQ(failure.where(), path("shared.idx"));
}

// A deep chain with 25 light leaves at every level and its heaviest key at the bottom: the
// search holds every leaf while it walks down, and each must not keep its whole path (a chain
// of 1,000 then held 12.5 MB). The heap's growth is read from the sanitizer's allocator.
TEST_F(TopSearchTest, DeepBushyTreesKeepTheirPathsOnce) {
  std::size_t (*allocated)() = nullptr;
#if TESSEL_TEST_ASAN
  allocated = &__sanitizer_get_current_allocated_bytes;
#endif
  if (allocated == nullptr) GTEST_SKIP() << "needs AddressSanitizer's allocator to read the heap";
  constexpr std::size_t kDepth = 1000;
  std::vector<std::string> keys = {std::string(kDepth, 'a')};
  for (std::size_t depth = 0; depth < kDepth; ++depth) {
    for (char leaf = 'b'; leaf <= 'z'; ++leaf) keys.push_back(std::string(depth, 'a') + leaf);
  }
  std::sort(keys.begin(), keys.end());
  const Built built(keys);
  std::vector<std::uint32_t> weights(keys.size(), 0);
  weights[0] = 7;  // the chain itself sorts first
  const std::string companion = path("deep.idx.weights");
  const auto* data = reinterpret_cast<const unsigned char*>(built.trie.array());
  ASSERT_TRUE(
      Tessel::saveWeights(companion, data, built.trie.size(), weights.data(), weights.size()).ok());
  Tessel::WeightTable table;
  ASSERT_TRUE(table.load(companion, data, built.trie.size()).ok());
  const std::size_t before = allocated();
  std::size_t grown = 0;
  std::string got;
  EXPECT_EQ(built.view.top(table, "", 0, 2,
                           [&](const std::string& key, long, std::uint32_t weight) {
                             const std::size_t now = allocated();
                             if (now > before) grown = std::max(grown, now - before);
                             got += key.substr(kDepth - 2) + ':' + std::to_string(weight) + ' ';
                           }),
            IndexView::kOk);
  EXPECT_EQ(got, "aa:7 ab:0 ");
  EXPECT_LT(grown, std::size_t{4} << 20);
}

// Ties in weight go in byte order of the keys, below and past their first 8 bytes, with the
// zero byte, which a shorter key's padding must not be taken for.
TEST_F(TopSearchTest, TiesGoInByteOrderAtEveryDepth) {
  std::mt19937 random(41);
  const std::string alphabet("\0\1a\xff", 4);
  for (int round = 0; round < 8; ++round) {
    std::set<std::string> unique;
    for (int i = 0; i < 300; ++i) {
      std::string key(round % 2 == 0 ? 7 : 0, 'x');  // a shared start, for half the rounds
      for (std::size_t n = random() % 14; n > 0; --n) key += alphabet[random() % 4];
      unique.insert(key);
    }
    const std::vector<std::string> keys(unique.begin(), unique.end());
    const Built built(keys);
    std::vector<std::uint32_t> weights;
    for (std::size_t i = 0; i < keys.size(); ++i) weights.push_back(random() % 3);
    const std::string companion = path("ties" + std::to_string(round) + ".idx.weights");
    const auto* data = reinterpret_cast<const unsigned char*>(built.trie.array());
    ASSERT_TRUE(
        Tessel::saveWeights(companion, data, built.trie.size(), weights.data(), weights.size())
            .ok());
    Tessel::WeightTable table;
    ASSERT_TRUE(table.load(companion, data, built.trie.size()).ok());
    for (const std::string& prefix : {std::string(), std::string(7, 'x'), std::string("\0", 1),
                                      std::string("xxxxxxx\0\1", 9)}) {
      std::vector<std::pair<std::uint32_t, std::string>> expected;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].compare(0, prefix.size(), prefix) == 0)
          expected.emplace_back(weights[i], keys[i]);
      }
      std::stable_sort(expected.begin(), expected.end(),
                       [](const auto& a, const auto& b) { return a.first > b.first; });
      std::vector<std::pair<std::uint32_t, std::string>> got;
      EXPECT_EQ(built.view.top(table, prefix.data(), prefix.size(), keys.size(),
                               [&](const std::string& key, long, std::uint32_t weight) {
                                 got.emplace_back(weight, key);
                               }),
                IndexView::kOk);
      EXPECT_EQ(got, expected) << "round " << round << ", prefix of " << prefix.size();
    }
  }
}

TEST(DamagedIndexTest, TruncatedIndexesEndNormally) {
  const Built built(TesselBench::makeKeys("words", 3000, 6));
  const std::string whole(reinterpret_cast<const char*>(built.trie.array()), built.trie.size() * 8);
  for (std::size_t units : {std::size_t{258}, built.trie.size() / 3, built.trie.size() - 258}) {
    const int status = queryEverything(whole.substr(0, units * 8));
    EXPECT_TRUE(status == IndexView::kOk || status == IndexView::kCorrupt);
  }
}

}  // namespace
