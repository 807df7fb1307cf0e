// The key list as lines of a mapped file: the same trie as from copies of the lines, from a
// whole file or a range of one, in memory or in the pages of a file; and where the first key
// out of order is.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>
#include <tessel/key_lines.h>

#include "plain_split.h"
#include "scratch_dir.h"

namespace {

using Tessel::DoubleArray;
using Tessel::KeyLines;

class KeyLinesTest : public TesselTest::ScratchDirTest {
 protected:
  // Writes `text` to a file and opens it.
  int file(const std::string& name, const std::string& text) {
    std::ofstream(path(name), std::ios::binary) << text;
    const int fd = ::open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    fds_.push_back(fd);
    return fd;
  }
  void TearDown() override {
    for (const int fd : fds_) ::close(fd);
    ScratchDirTest::TearDown();
  }

  // The units' bytes, as save() writes them.
  static std::string unitsOf(const DoubleArray& trie) {
    return {reinterpret_cast<const char*>(trie.array()), trie.size() * sizeof(DoubleArray::Unit)};
  }

  // The trie of the keys as NUL-terminated copies: the reference.
  static std::string copiedTrie(const std::vector<std::string>& keys, int& status) {
    std::vector<const char*> pointers;
    pointers.reserve(keys.size());
    for (const std::string& key : keys) pointers.push_back(key.c_str());
    DoubleArray trie;
    status = trie.build(pointers.size(), pointers.data());
    return status == 0 ? unitsOf(trie) : std::string();
  }

  std::vector<int> fds_;
};

// Sorted text over a small alphabet with NUL bytes, CR, empty lines and repeats; with or
// without a last newline.
std::string sortedText(std::mt19937& random, std::size_t count, bool lastNewline) {
  std::vector<std::string> keys;
  const char alphabet[] = {'a', 'b', '\r', '\xff', '\0'};
  for (std::size_t i = 0; i < count; ++i) {
    std::string key;
    for (std::size_t n = random() % 8; n > 0; --n) key += alphabet[random() % 5];
    keys.push_back(key.substr(0, key.find('\0')) +
                   (random() % 7 == 0 ? std::string(1, '\0') + "tail" : ""));
  }
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return a.substr(0, a.find('\0')) < b.substr(0, b.find('\0'));
  });
  std::string text;
  for (const std::string& key : keys) text += key + "\n";
  if (!lastNewline && !text.empty()) text.pop_back();
  return text;
}

TEST_F(KeyLinesTest, LinesBuildTheTrieOfTheirCopies) {
  std::mt19937 random(11);
  for (int round = 0; round < 60; ++round) {
    const std::string text = sortedText(random, 1 + random() % 400, round % 2 == 0);
    KeyLines lines;
    ASSERT_EQ(lines.map(file("keys" + std::to_string(round), text)), 0);
    const std::vector<std::string> keys = TesselTest::plainSplit(text);
    ASSERT_EQ(lines.count(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(lines.keyLength(i), keys[i].size());
    int status;
    const auto expected = copiedTrie(keys, status);
    DoubleArray trie;
    ASSERT_EQ(trie.build(lines), status);
    if (status == 0) {
      EXPECT_EQ(unitsOf(trie), expected);
    }
  }
}

TEST_F(KeyLinesTest, ARangeOfAFileIsItsOwnList) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "key" + std::to_string(100000 + i) + "\n";
  const int fd = file("keys", text);
  // A range that starts inside a page and ends at a line's end.
  const std::size_t start = text.find('\n', 4097) + 1, end = text.find('\n', 30000) + 1;
  KeyLines lines;
  ASSERT_EQ(lines.map(fd, start, end), 0);
  const std::vector<std::string> keys = TesselTest::plainSplit(text.substr(start, end - start));
  ASSERT_EQ(lines.count(), keys.size());
  EXPECT_EQ(std::string(lines.line(0), lines.keyLength(0)), keys.front());
  EXPECT_EQ(std::string(lines.line(keys.size() - 1), lines.keyLength(keys.size() - 1)),
            keys.back());
  // A last line without newline that ends exactly at a page's end.
  const std::string page(4095, 'x');
  KeyLines whole;
  ASSERT_EQ(whole.map(file("page", "a\n" + page.substr(0, 4094))), 0);
  ASSERT_EQ(whole.count(), 2u);
  EXPECT_EQ(whole.keyLength(1), 4094u);
  KeyLines none;
  EXPECT_EQ(none.map(file("empty", "")), 0);
  EXPECT_EQ(none.count(), 0u);
}

TEST_F(KeyLinesTest, TheFirstKeyOutOfOrderIsTold) {
  // Found at the root only after the deeper disorder at key 1.
  for (const auto& [text, first] : std::vector<std::pair<std::string, std::size_t>>{
           {"ab\naa\nb\na\n", 1}, {"b\na\n", 1}, {"a\nb\nc\nb\n", 3}, {"a\nab\na\n", 2}}) {
    KeyLines lines;
    ASSERT_EQ(lines.map(file("unsorted", text)), 0);
    DoubleArray trie;
    EXPECT_EQ(trie.build(lines), DoubleArray::kUnsorted) << text;
    EXPECT_EQ(trie.firstUnsortedKey(), first) << text;
    std::vector<std::string> keys = TesselTest::plainSplit(text);
    std::vector<const char*> pointers;
    pointers.reserve(keys.size());
    for (const std::string& key : keys) pointers.push_back(key.c_str());
    DoubleArray copied;
    EXPECT_EQ(copied.build(pointers.size(), pointers.data()), DoubleArray::kUnsorted);
    EXPECT_EQ(copied.firstUnsortedKey(), first) << text;
  }
}

TEST_F(KeyLinesTest, UnitsBuiltInAFileAreTheUnitsBuiltInMemory) {
  std::mt19937 random(12);
  const std::string text = sortedText(random, 30000, true);
  KeyLines lines;
  ASSERT_EQ(lines.map(file("keys", text)), 0);
  DoubleArray inMemory;
  ASSERT_EQ(inMemory.build(lines), 0);
  const int fd = ::open(path("units").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  fds_.push_back(fd);
  ASSERT_GE(fd, 0);
  DoubleArray inFile;
  ASSERT_EQ(inFile.keepUnitsIn(fd), 0);
  ASSERT_EQ(inFile.build(lines), 0);
  ASSERT_EQ(inFile.finishFile(), 0);
  EXPECT_EQ(unitsOf(inFile), unitsOf(inMemory));
  std::ifstream written(path("units"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), unitsOf(inMemory));
  // A failed build leaves the file alone, and the next build is in memory.
  ASSERT_EQ(inFile.keepUnitsIn(fd), 0);
  const char* unsorted[] = {"b", "a"};
  EXPECT_EQ(inFile.build(2, unsorted), DoubleArray::kUnsorted);
  EXPECT_EQ(inFile.finishFile(), -1);
  EXPECT_EQ(inFile.build(lines), 0);
  EXPECT_EQ(unitsOf(inFile), unitsOf(inMemory));
}

}  // namespace
