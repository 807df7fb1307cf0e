#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>

#include "reference_builder.h"
#include "trie_checks.h"

namespace {

using Tessel::DoubleArray;
using Progress = std::vector<std::pair<std::size_t, std::size_t>>;

Progress progressCalls;

int recordProgress(std::size_t current, std::size_t total) {
  progressCalls.emplace_back(current, total);
  return 0;
}

// Builds with explicit lengths, so keys may hold NUL bytes, and records the progress calls.
int buildKeys(DoubleArray& trie, const std::vector<std::string>& keys,
              const std::vector<int>* values = nullptr) {
  std::vector<const char*> pointers;
  std::vector<std::size_t> lengths;
  for (const std::string& key : keys) {
    pointers.push_back(key.data());
    lengths.push_back(key.size());
  }
  progressCalls.clear();
  return trie.build(keys.size(), pointers.data(), lengths.data(), values ? values->data() : nullptr,
                    recordProgress);
}

std::vector<TesselTest::RefUnit> unitsOf(const DoubleArray& trie) {
  std::vector<TesselTest::RefUnit> units;
  for (std::size_t i = 0; i < trie.size(); ++i) {
    units.push_back({trie.array()[i].base, trie.array()[i].check});
  }
  return units;
}

std::size_t nonEmptyUnits(const DoubleArray& trie) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < trie.size(); ++i) {
    count += trie.array()[i].base != 0 || trie.array()[i].check != 0;
  }
  return count;
}

// The builder must agree with the plain recursive construction unit for unit, in its status
// and in every progress call.
void expectSameAsReference(const std::vector<std::string>& keys,
                           const std::vector<int>* values = nullptr) {
  DoubleArray trie;
  const int status = buildKeys(trie, keys, values);
  TesselTest::ReferenceBuilder reference;
  ASSERT_EQ(status, reference.build(keys, values));
  ASSERT_EQ(progressCalls, reference.progress());
  if (status != 0) return;
  const auto units = unitsOf(trie);
  ASSERT_EQ(units.size(), reference.units().size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    ASSERT_EQ(units[i].base, reference.units()[i].base) << "unit " << i;
    ASSERT_EQ(units[i].check, reference.units()[i].check) << "unit " << i;
  }
}

void expectCorrect(const std::vector<std::string>& keys) {
  expectSameAsReference(keys);
  DoubleArray trie;
  ASSERT_EQ(buildKeys(trie, keys), 0);
  TesselTest::expectWellFormed(trie, keys);
}

std::vector<std::string> randomSortedKeys(std::mt19937& rng, std::size_t count,
                                          std::size_t maxLength, int alphabet) {
  std::uniform_int_distribution<std::size_t> length(0, maxLength);
  std::uniform_int_distribution<int> byte(0, alphabet - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < count; ++i) {
    std::string key;
    // Often extend an earlier key so that long shared prefixes appear.
    if (!keys.empty() && percent(rng) < 40) {
      key = keys[std::uniform_int_distribution<std::size_t>(0, keys.size() - 1)(rng)];
    }
    for (std::size_t n = length(rng); n > 0; --n) {
      // Small alphabets use the top of the byte range too, so 0xFF and 0x80 get tested.
      key.push_back(static_cast<char>(alphabet == 256 ? byte(rng) : 0xFF - byte(rng) * 37 % 256));
    }
    keys.push_back(key);
    if (percent(rng) < 10) keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
  });
  return keys;
}

TEST(DoubleArrayTest, NewObjectIsEmptyAndCannotBeSaved) {
  DoubleArray trie;
  EXPECT_EQ(trie.size(), 0u);
  EXPECT_EQ(trie.occupiedCount(), 0u);
  EXPECT_EQ(trie.array(), nullptr);
  const std::string path = testing::TempDir() + "tessel_new_object.idx";
  ::unlink(path.c_str());
  EXPECT_NE(trie.save(path.c_str()), 0);
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
  trie.clear();
  EXPECT_EQ(trie.size(), 0u);
}

TEST(DoubleArrayTest, NoKeysBuildsNothing) {
  DoubleArray trie;
  const char* key = "a";
  EXPECT_EQ(trie.build(0, &key), 0);
  EXPECT_EQ(trie.build(3, nullptr), 0);
  EXPECT_EQ(trie.size(), 0u);
  EXPECT_EQ(trie.array(), nullptr);
}

TEST(DoubleArrayTest, ResizeAddsEmptyUnits) {
  DoubleArray trie;
  EXPECT_EQ(trie.resize(8192), 8192u);
  for (std::size_t i = 0; i < 8192; ++i) {
    ASSERT_EQ(trie.array()[i].base, 0);
    ASSERT_EQ(trie.array()[i].check, 0u);
  }
  EXPECT_EQ(trie.size(), 0u);
}

TEST(DoubleArrayTest, TwoKeysGiveTheDocumentedUnits) {
  DoubleArray trie;
  ASSERT_EQ(buildKeys(trie, {"a", "b"}), 0);
  EXPECT_EQ(trie.size(), 360u);
  EXPECT_EQ(trie.occupiedCount(), 4u);
  const auto* u = trie.array();
  EXPECT_EQ(u[0].base, 1);
  EXPECT_EQ(u[0].check, 0u);
  EXPECT_EQ(u[99].base, 101);
  EXPECT_EQ(u[99].check, 1u);
  EXPECT_EQ(u[100].base, 102);
  EXPECT_EQ(u[100].check, 1u);
  EXPECT_EQ(u[101].base, -1);
  EXPECT_EQ(u[101].check, 101u);
  EXPECT_EQ(u[102].base, -2);
  EXPECT_EQ(u[102].check, 102u);
  EXPECT_EQ(nonEmptyUnits(trie), 5u);
  EXPECT_EQ(progressCalls, (Progress{{1, 2}, {2, 2}}));
}

TEST(DoubleArrayTest, EmptyKeyIsTheRootsEndUnit) {
  DoubleArray trie;
  ASSERT_EQ(buildKeys(trie, {""}), 0);
  EXPECT_EQ(trie.size(), 259u);
  EXPECT_EQ(trie.occupiedCount(), 1u);
  EXPECT_EQ(trie.array()[1].base, -1);
  EXPECT_EQ(trie.array()[1].check, 1u);

  ASSERT_EQ(buildKeys(trie, {"", "a", "ab", "b"}), 0);
  EXPECT_EQ(trie.size(), 359u);
  EXPECT_EQ(trie.array()[1].base, -1);
  EXPECT_EQ(trie.array()[1].check, 1u);
}

TEST(DoubleArrayTest, KeysOutOfOrderAreRefused) {
  DoubleArray trie;
  EXPECT_EQ(buildKeys(trie, {"b", "a"}), DoubleArray::kUnsorted);
  EXPECT_TRUE(progressCalls.empty());
  EXPECT_EQ(buildKeys(trie, {"ab", "a"}), DoubleArray::kUnsorted);
  EXPECT_EQ(buildKeys(trie, {"a", "", "b"}), DoubleArray::kUnsorted);
  // The first group is finished before the disorder below it is seen.
  EXPECT_EQ(buildKeys(trie, {"ab", "aa"}), DoubleArray::kUnsorted);
  EXPECT_EQ(progressCalls, (Progress{{1, 2}}));
  // A failed build is not a trie and is never written.
  EXPECT_NE(trie.save((testing::TempDir() + "tessel_unsorted.idx").c_str()), 0);
  // Bytes compare unsigned: 0x80 sorts after 'z'.
  EXPECT_EQ(buildKeys(trie, {"z", "\x80"}), 0);
  EXPECT_EQ(buildKeys(trie, {"\x80", "z"}), DoubleArray::kUnsorted);
}

TEST(DoubleArrayTest, EqualKeysShareTheFirstIndex) {
  DoubleArray trie;
  ASSERT_EQ(buildKeys(trie, {"a", "a"}), 0);
  EXPECT_EQ(progressCalls, (Progress{{1, 2}}));
  EXPECT_EQ(TesselTest::lookup(trie, "a"), std::optional<int>(0));
  ASSERT_EQ(buildKeys(trie, {"a", "b", "b", "b", "c"}), 0);
  EXPECT_EQ(TesselTest::lookup(trie, "b"), std::optional<int>(1));
  EXPECT_EQ(TesselTest::lookup(trie, "c"), std::optional<int>(4));
  EXPECT_EQ(TesselTest::terminalCount(trie), 3u);
}

TEST(DoubleArrayTest, ValuesAndLengths) {
  DoubleArray trie;
  const std::vector<int> values = {7, 0, INT_MAX};
  ASSERT_EQ(buildKeys(trie, {"x", "y", "z"}, &values), 0);
  EXPECT_EQ(TesselTest::lookup(trie, "x"), std::optional<int>(7));
  EXPECT_EQ(TesselTest::lookup(trie, "y"), std::optional<int>(0));
  EXPECT_EQ(TesselTest::lookup(trie, "z"), std::optional<int>(INT_MAX));

  const std::vector<int> negative = {1, -1, 2};
  EXPECT_EQ(buildKeys(trie, {"x", "y", "z"}, &negative), DoubleArray::kNegativeValue);
  const std::vector<int> smallest = {INT_MIN};
  EXPECT_EQ(buildKeys(trie, {"x"}, &smallest), DoubleArray::kNegativeValue);

  // With lengths, a key may hold NUL bytes, and a shorter length cuts the key.
  ASSERT_EQ(buildKeys(trie, {std::string("a\0b", 3), std::string("a\0c", 3)}), 0);
  EXPECT_EQ(TesselTest::lookup(trie, std::string("a\0c", 3)), std::optional<int>(1));
  EXPECT_EQ(TesselTest::lookup(trie, "a"), std::nullopt);
  const char* keys[] = {"abc", "abd"};
  const std::size_t lengths[] = {1, 2};
  ASSERT_EQ(trie.build(2, keys, lengths), 0);
  EXPECT_EQ(TesselTest::lookup(trie, "a"), std::optional<int>(0));
  EXPECT_EQ(TesselTest::lookup(trie, "ab"), std::optional<int>(1));
  EXPECT_EQ(TesselTest::lookup(trie, "abc"), std::nullopt);
}

TEST(DoubleArrayTest, NulTerminatedKeysEndAtTheFirstNul) {
  DoubleArray trie;
  const char* keys[] = {"a", "a\0z", "b"};
  ASSERT_EQ(trie.build(3, keys), 0);
  EXPECT_EQ(TesselTest::lookup(trie, "a"), std::optional<int>(0));
  EXPECT_EQ(TesselTest::terminalCount(trie), 2u);
}

TEST(DoubleArrayTest, RandomKeySetsMatchTheReferenceAndTheFormat) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 300; ++round) {
    const int alphabet = round % 3 == 0 ? 256 : 2 + round % 7;
    const auto keys = randomSortedKeys(rng, 1 + rng() % 400, 1 + rng() % 12, alphabet);
    SCOPED_TRACE("round " + std::to_string(round));
    expectCorrect(keys);
  }
}

TEST(DoubleArrayTest, LargeSetsSpanSeveralGrowths) {
  std::mt19937 rng(7);
  for (int alphabet : {3, 26, 256}) {
    const auto keys = randomSortedKeys(rng, 20000, 10, alphabet);
    expectCorrect(keys);
  }
}

TEST(DoubleArrayTest, LongTwoLetterKeysMatchTheReference) {
  // Such keys leave free units that no group can take, which the search learns to skip.
  std::mt19937 rng(31);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    expectCorrect(randomSortedKeys(rng, 300, 200, 2));
  }
}

TEST(DoubleArrayTest, FailuresMatchTheReference) {
  std::mt19937 rng(99);
  for (int round = 0; round < 200; ++round) {
    auto keys = randomSortedKeys(rng, 2 + rng() % 100, 1 + rng() % 6, 4);
    std::vector<int> values(keys.size());
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int>(rng() % 1000);
    if (round % 2 == 0) {
      std::swap(keys[rng() % keys.size()], keys[rng() % keys.size()]);
    } else {
      for (int n = 0; n < 3; ++n) values[rng() % values.size()] = -1 - static_cast<int>(rng() % 5);
    }
    SCOPED_TRACE("round " + std::to_string(round));
    expectSameAsReference(keys, round % 4 == 0 ? nullptr : &values);
  }
}

// The reference recurses once per key byte; deep keys need a deep stack.
void onLargeStack(std::function<void()> body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, std::size_t{1} << 30);
  pthread_t thread;
  auto run = [](void* task) -> void* {
    (*static_cast<std::function<void()>*>(task))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

TEST(DoubleArrayTest, PrefixChainsPastTheInitialCapacity) {
  // A shared prefix longer than the first allocation, then a group of several siblings.
  onLargeStack([] {
    const std::string prefix(10000, 'q');
    expectSameAsReference({prefix + "a", prefix + "b", prefix + "c"});
    expectSameAsReference({prefix, prefix + "a", "r"});
    expectSameAsReference({"a", prefix + "a", prefix + "b", "r"});
  });
}

TEST(DoubleArrayTest, LongKeysDoNotRecurse) {
  std::mt19937 rng(5);
  std::string key(1000000, 'a');
  for (char& c : key) c = static_cast<char>(1 + rng() % 255);
  const std::vector<std::string> keys = {key.substr(0, 3), key, key + "z"};
  DoubleArray trie;
  ASSERT_EQ(buildKeys(trie, keys), 0);
  EXPECT_EQ(TesselTest::lookup(trie, key), std::optional<int>(1));
  EXPECT_EQ(TesselTest::lookup(trie, key + "z"), std::optional<int>(2));
  EXPECT_EQ(TesselTest::lookup(trie, key.substr(0, 500000)), std::nullopt);
}

// Narrow fields make the 32-bit limits reachable in a test.
using NarrowArray =
    Tessel::DoubleArrayImpl<char, unsigned char, std::int16_t, std::uint16_t, Tessel::Length<char>>;

TEST(DoubleArrayTest, PositionsBeyondTheFieldsAreRefused) {
  std::vector<std::string> keys;
  keys.reserve(20000);
  for (int i = 0; i < 20000; ++i) keys.push_back(std::to_string(100000 + i));
  std::vector<const char*> pointers;
  pointers.reserve(keys.size());
  for (const auto& key : keys) pointers.push_back(key.c_str());
  NarrowArray narrow;
  EXPECT_EQ(narrow.build(pointers.size(), pointers.data()), NarrowArray::kTooLarge);
  EXPECT_NE(narrow.save((testing::TempDir() + "tessel_narrow.idx").c_str()), 0);

  // Few positions but key indexes past the base field's range.
  std::vector<const char*> repeated(40000, "a");
  repeated.push_back("b");
  EXPECT_EQ(narrow.build(repeated.size(), repeated.data()), NarrowArray::kTooLarge);
  repeated.resize(32768);
  repeated.push_back("b");
  EXPECT_EQ(narrow.build(repeated.size(), repeated.data()), NarrowArray::kTooLarge);
  repeated.pop_back();
  repeated.pop_back();
  repeated.push_back("b");
  EXPECT_EQ(narrow.build(repeated.size(), repeated.data()), 0);
  EXPECT_EQ(narrow.array()[narrow.array()[narrow.array()[0].base + 'b' + 1].base].base, -32768);
}

TEST(DoubleArrayTest, ABuildCutShortByAnExceptionIsNeverSaved) {
  DoubleArray trie;
  const char* keys[] = {"a", "b", "c"};
  auto throwAtSecond = [](std::size_t current, std::size_t) -> int {
    if (current == 2) throw std::runtime_error("stop");
    return 0;
  };
  EXPECT_THROW(trie.build(3, keys, nullptr, nullptr, throwAtSecond), std::runtime_error);
  EXPECT_NE(trie.save((testing::TempDir() + "tessel_cut_short.idx").c_str()), 0);
  EXPECT_EQ(trie.build(3, keys), 0);  // the object stays usable
  EXPECT_EQ(TesselTest::lookup(trie, "c"), std::optional<int>(2));
}

TEST(DoubleArrayTest, MovingTransfersTheArray) {
  DoubleArray trie;
  ASSERT_EQ(buildKeys(trie, {"a", "b"}), 0);
  DoubleArray moved(std::move(trie));
  EXPECT_EQ(moved.size(), 360u);
  EXPECT_EQ(trie.size(), 0u);  // NOLINT(bugprone-use-after-move): the source is left empty
  DoubleArray assigned;
  ASSERT_EQ(buildKeys(assigned, {"c"}), 0);
  assigned = std::move(moved);
  EXPECT_EQ(assigned.size(), 360u);
  EXPECT_EQ(TesselTest::lookup(assigned, "b"), std::optional<int>(1));

  // A moved-from object is a new one, whatever either side's last status was.
  DoubleArray failed;
  const char* unsorted[] = {"b", "a"};
  ASSERT_EQ(failed.build(2, unsorted), DoubleArray::kUnsorted);
  DoubleArray target;
  target = std::move(failed);
  EXPECT_EQ(target.error(), DoubleArray::kUnsorted);
  failed = std::move(assigned);
  // NOLINTNEXTLINE(bugprone-use-after-move,clang-analyzer-cplusplus.Move): checked on purpose
  EXPECT_EQ(assigned.error(), DoubleArray::kOk);
  EXPECT_EQ(assigned.size(), 0u);
  EXPECT_NE(assigned.save("unused.idx"), 0);  // nothing to write
  EXPECT_EQ(failed.error(), DoubleArray::kOk);
}

}  // namespace
