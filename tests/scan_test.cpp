// Scans against a plain reading of what a match is: every position, every key, the boundaries
// checked by hand, on random texts and key sets of any bytes, for one index and for shards.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>
#include <tessel/index.h>
#include <tessel/index_view.h>
#include <tessel/internal/start_finder.h>
#include <tessel/shard_builder.h>
#include <tessel/shard_directory.h>

#include "scratch_dir.h"

namespace {

using Match = std::tuple<std::size_t, std::size_t, long long>;
using Keys = std::map<std::string, long long>;

bool wordByte(unsigned char c) {
  return std::isalnum(c) != 0 || c == '_' || c >= 0x80;
}

bool boundary(const std::string& text, std::size_t at) {
  return at == 0 || at == text.size() || !(wordByte(text[at - 1]) && wordByte(text[at]));
}

// Every match, by the definition, then the leftmost-longest choice when asked.
std::vector<Match> bruteForce(const Keys& keys, const std::string& text, bool longest, bool words) {
  std::vector<Match> all;
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (const auto& [key, value] : keys) {
      if (key.empty() || text.compare(i, key.size(), key) != 0) continue;
      if (words && !(boundary(text, i) && boundary(text, i + key.size()))) continue;
      all.emplace_back(i, key.size(), value);
    }
  }
  std::sort(all.begin(), all.end());
  if (!longest) return all;
  std::vector<Match> chosen;
  std::size_t from = 0;
  for (std::size_t k = 0; k < all.size(); ++k) {
    const auto [at, length, value] = all[k];
    if (at < from) continue;
    // The longest at this position is the last of its run.
    if (k + 1 < all.size() && std::get<0>(all[k + 1]) == at) continue;
    chosen.push_back(all[k]);
    from = at + length;
  }
  return chosen;
}

// Each line of the text on its own, with the positions of the whole text.
std::vector<Match> byLines(const Keys& keys, const std::string& text, bool longest, bool words) {
  std::vector<Match> all;
  for (std::size_t from = 0; from <= text.size();) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    for (const auto& [at, length, value] :
         bruteForce(keys, text.substr(from, end - from), longest, words)) {
      all.emplace_back(from + at, length, value);
    }
    from = end + 1;
  }
  return all;
}

Tessel::ScanOptions optionsOf(bool longest, bool words, bool lines) {
  Tessel::ScanOptions options;
  options.longest = longest;
  options.words = words;
  options.lines = lines;
  return options;
}

template <class View>
std::vector<Match> scanned(const View& view, const std::string& text, bool longest, bool words,
                           bool lines = false) {
  std::vector<Match> found;
  const Tessel::ScanOptions options = optionsOf(longest, words, lines);
  const auto result = view.scan(text.data(), text.size(), options,
                                [&](std::size_t at, std::size_t length, auto value) {
                                  found.emplace_back(at, length, value);
                                });
  if constexpr (std::is_same_v<decltype(result), const Tessel::Status>) {
    EXPECT_TRUE(result.ok()) << result.toString();
  }
  return found;
}

class ScanTest : public TesselTest::ScratchDirTest {
 protected:
  // Builds `keys` (any bytes, any order) as one index and as `shards` shards.
  void make(const std::vector<std::string>& list, std::size_t shards) {
    std::vector<std::string> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    keys_.clear();
    for (std::size_t i = 0; i < sorted.size(); ++i) keys_.emplace(sorted[i], i);
    std::vector<const char*> pointers;
    std::vector<std::size_t> lengths;
    std::vector<std::int32_t> values;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      pointers.push_back(sorted[i].data());
      lengths.push_back(sorted[i].size());
      values.push_back(static_cast<std::int32_t>(keys_[sorted[i]]));
    }
    Tessel::DoubleArray trie;
    ASSERT_EQ(trie.build(sorted.size(), pointers.data(), lengths.data(), values.data()), 0);
    ASSERT_EQ(trie.save(path("one.idx").c_str()), 0);
    ASSERT_EQ(one_.open(path("one.idx").c_str()), Tessel::IndexView::kOk);
    // Shards of the same keys, framed, each range its own.
    Tessel::Manifest manifest;
    manifest.generation = "g";
    std::size_t from = 0, base = 0;
    for (std::size_t n = 0; n < shards && from < sorted.size(); ++n) {
      std::size_t to = n + 1 == shards ? sorted.size() : from + sorted.size() / shards;
      while (to < sorted.size() && sorted[to] == sorted[to - 1]) ++to;
      if (to == from) continue;
      std::vector<Tessel::internal::KeyRef> range;
      for (std::size_t i = from; i < to; ++i) {
        range.push_back(
            {reinterpret_cast<const unsigned char*>(sorted[i].data()), sorted[i].size()});
      }
      const std::string name = "s" + std::to_string(n) + ".idx";
      const std::string target = path(name);
      Tessel::ShardBuild built = Tessel::buildShard(range, {target.c_str()});
      ASSERT_TRUE(built.saved);
      built.entry.file = name;
      built.entry.base = base;
      base += built.entry.lines;
      manifest.shards.push_back(built.entry);
      from = to;
    }
    ASSERT_EQ(Tessel::writeManifest(dir_, manifest), 0);
    const Tessel::Status opened = sharded_.open(dir_.c_str());
    ASSERT_TRUE(opened.ok()) << opened.toString();
    // Shards rank their distinct keys: the values the brute force expects.
    long long rank = 0;
    for (auto& [key, value] : keys_) value = rank++;
    Tessel::DoubleArray ranked;
    std::vector<std::string> distinct;
    for (const auto& entry : keys_) distinct.push_back(entry.first);
    pointers.clear();
    lengths.clear();
    for (const std::string& key : distinct) {
      pointers.push_back(key.data());
      lengths.push_back(key.size());
    }
    ASSERT_EQ(ranked.build(distinct.size(), pointers.data(), lengths.data()), 0);
    ASSERT_EQ(ranked.save(path("one.idx").c_str()), 0);
    ASSERT_EQ(one_.open(path("one.idx").c_str()), Tessel::IndexView::kOk);
    ASSERT_TRUE(file_.open(path("one.idx").c_str()).ok());
  }

  void expectLikeBruteForce(const std::string& text) {
    for (const bool longest : {false, true}) {
      for (const bool words : {false, true}) {
        const std::vector<Match> expected = bruteForce(keys_, text, longest, words);
        ASSERT_EQ(scanned(one_, text, longest, words), expected)
            << "longest " << longest << " words " << words << " text "
            << testing::PrintToString(text);
        ASSERT_EQ(scanned(sharded_, text, longest, words), expected)
            << "sharded, longest " << longest << " words " << words;
        ASSERT_EQ(scanned(file_, text, longest, words), expected)
            << "the front over a file, longest " << longest << " words " << words;
        const std::vector<Match> lines = byLines(keys_, text, longest, words);
        ASSERT_EQ(scanned(one_, text, longest, words, true), lines)
            << "lines, longest " << longest << " words " << words;
        ASSERT_EQ(scanned(sharded_, text, longest, words, true), lines)
            << "sharded lines, longest " << longest << " words " << words;
        // One scanner for every text and index, as a program reading texts keeps it: what
        // it learnt of the last index must not be taken for this one's.
        for (const Tessel::Index* index : {&file_, &sharded_}) {
          std::vector<Match> found;
          reused_.reset(*index, text.data(), text.size(), optionsOf(longest, words, false));
          while (reused_.next())
            found.emplace_back(reused_.position(), reused_.length(), reused_.value());
          ASSERT_TRUE(reused_.status().ok());
          ASSERT_EQ(found, expected) << "a reused scanner, sharded " << (index == &sharded_);
        }
      }
    }
  }

  Keys keys_;
  Tessel::IndexView one_;
  Tessel::Index file_;
  Tessel::Index sharded_;
  Tessel::Index::Scanner reused_;
};

TEST_F(ScanTest, EveryModeIsThePlainReadingOfAMatch) {
  std::mt19937 random(11);
  for (int round = 0; round < 60; ++round) {
    // Small alphabets make keys that are prefixes of each other and many matches; some keys
    // take any byte, NUL and 0xFF included.
    const std::string alphabet = round % 3 == 0   ? std::string("ab ")
                                 : round % 3 == 1 ? std::string("ab_\xc3\xa9-.\n")
                                                  : std::string(
                                                        "\x00\x01\x7f\x80\xff"
                                                        "a \n",
                                                        8);
    auto randomText = [&](std::size_t most) {
      std::string text;
      for (std::size_t n = random() % (most + 1); n > 0; --n)
        text += alphabet[random() % alphabet.size()];
      return text;
    };
    std::vector<std::string> list;
    for (std::size_t n = 1 + random() % 40; n > 0; --n) list.push_back(randomText(6));
    list.push_back("");  // never matches
    make(list, 1 + random() % 4);
    for (int t = 0; t < 20; ++t) {
      // Texts that begin and end with keys, and longer ones than a block of positions.
      std::string text = randomText(t == 19 ? 9000 : 60);
      if (t % 4 == 1) {
        std::string framed = list[random() % list.size()];
        framed += text;
        framed += list[random() % list.size()];
        text = std::move(framed);
      }
      expectLikeBruteForce(text);
    }
  }
}

TEST_F(ScanTest, AWorkedExample) {
  make({"he", "hers", "her", "she", "his"}, 2);
  const std::string text = "ushers his_";
  // he and her and hers inside "ushers", she too; words keep only "his" ... not "his_".
  EXPECT_EQ(scanned(one_, text, false, false),
            (std::vector<Match>{{1, 3, 4}, {2, 2, 0}, {2, 3, 1}, {2, 4, 2}, {7, 3, 3}}));
  EXPECT_EQ(scanned(one_, text, true, false), (std::vector<Match>{{1, 3, 4}, {7, 3, 3}}));
  EXPECT_EQ(scanned(one_, text, false, true), std::vector<Match>{});
  EXPECT_EQ(scanned(one_, "she hers", true, true), (std::vector<Match>{{0, 3, 4}, {4, 4, 2}}));
  // A scan stops when its callback says so, and a Scanner goes one match at a time.
  std::size_t calls = 0;
  EXPECT_EQ(one_.scan(text.data(), text.size(),
                      [&](std::size_t, std::size_t, std::int32_t) { return ++calls < 2; }),
            2u);
  Tessel::IndexView::Scanner scanner;
  scanner.reset(one_, text.data(), text.size());
  ASSERT_TRUE(scanner.next());
  EXPECT_EQ(std::make_tuple(scanner.position(), scanner.length(), scanner.value()),
            std::make_tuple(1u, 3u, 4));
}

TEST_F(ScanTest, WordsKnowUnicodeAndTheCharactersAUserAdds) {
  make({"flask", "flask-login", "gcc", "patch"}, 2);
  // Curly quotes, an em dash, guillemets and a no-break space end words; a letter, a mark,
  // a digit of another script and a byte that is no UTF-8 do not.
  const std::string text =
      "\xe2\x80\x9cpatch\xe2\x80\x9d patch\xe2\x80\x94x \xc2\xabgcc\xc2\xbb patch\xc2\xa0x "
      "patch\xc3\xa9 patche\xcc\x81 patch\xd9\xa3 patch\xff flask-login";
  const std::vector<Match> words{{3, 5, 3},  {12, 5, 3}, {24, 3, 2},
                                 {30, 5, 3}, {71, 5, 0}, {71, 11, 1}};
  for (const Tessel::Index* index : {&file_, &sharded_}) {
    std::vector<Match> found;
    ASSERT_TRUE(index
                    ->scan(text.data(), text.size(), optionsOf(false, true, false),
                           [&](std::size_t at, std::size_t length, Tessel::Index::Value value) {
                             found.emplace_back(at, length, value);
                           })
                    .ok());
    EXPECT_EQ(found, words);
    // With "-" and the no-break space as word characters, flask-login is one word (flask is
    // not found in it), and so is "patch\u00a0x".
    Tessel::ScanOptions options = optionsOf(false, true, false);
    options.wordChars = "-\xc2\xa0";
    found.clear();
    ASSERT_TRUE(index
                    ->scan(text.data(), text.size(), options,
                           [&](std::size_t at, std::size_t length, Tessel::Index::Value value) {
                             found.emplace_back(at, length, value);
                           })
                    .ok());
    EXPECT_EQ(found, (std::vector<Match>{{3, 5, 3}, {12, 5, 3}, {24, 3, 2}, {71, 11, 1}}));
    // As lines, a '\n' ends a text whatever the word characters say.
    options.lines = true;
    options.wordChars = "-\n";
    found.clear();
    const std::string lines = "flask\nflask-login\npatch";
    ASSERT_TRUE(index
                    ->scan(lines.data(), lines.size(), options,
                           [&](std::size_t at, std::size_t length, Tessel::Index::Value value) {
                             found.emplace_back(at, length, value);
                           })
                    .ok());
    EXPECT_EQ(found, (std::vector<Match>{{0, 5, 0}, {6, 11, 1}, {18, 5, 3}}));
  }
}

// Leftmost-longest inside long words: keys that are runs of one letter, and words of
// hundreds of bytes, where positions far into a word are walked only once they are needed.
TEST_F(ScanTest, LongWordsAreTheirPlainReading) {
  std::mt19937 random(23);
  std::vector<std::string> list;
  for (std::size_t n = 1; n <= 90; n += 1 + random() % 7) list.push_back(std::string(n, 'a'));
  list.push_back("ab");
  list.push_back(std::string(70, 'a') + "b");
  make(list, 3);
  for (int round = 0; round < 30; ++round) {
    std::string text;
    while (text.size() < 600) {
      text += random() % 8 == 0 ? 'b' : 'a';
      if (random() % 200 == 0) text += ' ';
    }
    expectLikeBruteForce(text);
  }
}

// A word of a million letters against keys of up to 5,000 of them: each match covers 5,000
// positions that no walk needs, and walking them all took 30 times as long.
TEST_F(ScanTest, AVeryLongWordCostsItsMatches) {
  std::vector<std::string> list;
  for (std::size_t n = 1; n <= 5000; ++n) list.push_back(std::string(n, 'a'));
  make(list, 1);
  const std::string text(1000000, 'a');
  const auto start = std::chrono::steady_clock::now();
  const std::vector<Match> found = scanned(one_, text, true, false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_EQ(found.size(), 200u);
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i], Match(5000 * i, 5000, keys_[std::string(5000, 'a')]));
  }
}

TEST_F(ScanTest, DamagedIndexesScanWithinTheText) {
  make({"ab", "abc", "b", "ca"}, 1);
  std::ifstream in(path("one.idx"), std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::mt19937 random(5);
  const std::string text = "abcabcab cab";
  for (int round = 0; round < 2000; ++round) {
    std::string bytes = good;
    for (int k = 0; k < 4; ++k)
      bytes[8 + random() % (bytes.size() - 8)] = static_cast<char>(random());
    Tessel::IndexView view;
    if (view.attach(bytes.data(), bytes.size()) != Tessel::IndexView::kOk) continue;
    for (const bool longest : {false, true}) {
      for (const auto& [at, length, value] : scanned(view, text, longest, round % 2 == 0)) {
        ASSERT_LE(at + length, text.size());
        ASSERT_GT(length, 0u);
        ASSERT_GE(value, 0);
      }
    }
  }
}

}  // namespace

// The positions where walks start, sixteen bytes at a time where the processor allows, are
// those of the byte-at-a-time loop: any classes, any bytes, any start, end and limit.
TEST(StartFinderTest, EveryWayFindsTheSamePositions) {
  using Tessel::internal::StartFinder;
  std::mt19937 random(17);
  for (int round = 0; round < 300; ++round) {
    unsigned char classes[256];
    // Every fifth round, every byte may start a key: sixteen positions a step.
    for (unsigned char& c : classes)
      c = static_cast<unsigned char>(random() % 4 | (round % 5 == 0));
    StartFinder finder;
    finder.set(classes);
    std::string text(random() % 200, '\0');
    for (char& c : text) c = static_cast<char>(random());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t from = text.empty() ? 0 : random() % text.size();
    const std::size_t stop = from + random() % (text.size() - from + 1);
    const std::size_t limit = 1 + random() % 60;
    for (const bool boundaries : {false, true}) {
      // Block after block, as a scan takes them, to the end.
      auto all = [&](auto find) {
        std::vector<std::size_t> found, block(limit + StartFinder::kOver);
        for (std::size_t p = from; p < stop;) {
          std::size_t n = 0;
          p = find(p, block.data(), n);
          found.insert(found.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return found;
      };
      const auto fast = all([&](std::size_t p, std::size_t* out, std::size_t& n) {
        return finder.find(bytes, p, stop, boundaries, out, n, limit);
      });
      const auto plain = all([&](std::size_t p, std::size_t* out, std::size_t& n) {
        return finder.findScalar(bytes, p, stop, boundaries, out, n, limit);
      });
      ASSERT_EQ(fast, plain) << "round " << round << (boundaries ? ", boundaries" : "");
    }
  }
}
