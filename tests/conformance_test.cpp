// The table of expected answers (data/conformance.txt), run by the C++ front over an index
// file, sharded indexes of one and four shards, and a sharded index whose shard files were
// removed after it was opened. Python and tessel-lookup run the same table
// (python/tests/test_conformance.py).

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>
#include <tessel/index.h>
#include <tessel/manifest.h>

#include "scratch_dir.h"
#include "shard_maker.h"

#ifndef TESSEL_SOURCE_DIR
#define TESSEL_SOURCE_DIR "."
#endif

namespace {

using Tessel::Index;
using Row = std::vector<std::string>;

std::string unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

std::string escape(const std::string& key) {
  std::string text;
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > ' ' && byte < 0x7F && byte != '%') {
      text += c;
    } else {
      char hex[4];
      (void)std::snprintf(hex, sizeof hex, "%%%02X", byte);
      text += hex;
    }
  }
  return text;
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
    fields.push_back(line.substr(from, tab - from));
  }
  fields.push_back(line.substr(from));
  return fields;
}

// What the front answers for a row, as the table writes it.
std::string answer(const Index& index, const Row& row) {
  std::ostringstream out;
  const char* separator = "";
  auto pair = [&](const std::string& key, Index::Value value) {
    out << separator << value << ':' << escape(key);
    separator = " ";
  };
  const std::string& kind = row[0];
  Tessel::Status status;
  if (kind == "ifind") {
    const std::string query = unescape(row[1]);
    Index::Value value;
    std::string stored;
    status = index.findIgnoringCase(query.data(), query.size(), value, &stored);
    if (status.ok()) {
      out << value;
      Index::Value again;
      EXPECT_TRUE(index.find(stored.data(), stored.size(), again).ok() && again == value);
    }
  } else if (kind == "iprefixes") {
    const std::string query = unescape(row[1]);
    status = index.commonPrefixesIgnoringCase(
        query.data(), query.size(),
        [&](std::size_t, Index::Value v, const std::string& key) { pair(key, v); });
  } else if (kind == "ipredict") {
    const std::string prefix = unescape(row[1]);
    const std::size_t limit = row[2] == "*" ? SIZE_MAX : std::stoul(row[2]);
    status = index.predictIgnoringCase(prefix.data(), prefix.size(), pair, limit);
  } else if (kind == "top" || kind == "itop") {
    const std::string prefix = unescape(row[1]);
    status = index.top(
        prefix.data(), prefix.size(), std::stoul(row[2]),
        [&](const std::string& key, Index::Value value, std::uint32_t weight) {
          out << separator << value << ':' << weight << ':' << escape(key);
          separator = " ";
        },
        kind == "itop");
  } else if (kind == "find") {
    const std::string query = unescape(row[1]);
    Index::Value value;
    status = index.find(query.data(), query.size(), value);
    if (status.ok()) out << value;
  } else if (kind == "prefixes") {
    const std::string query = unescape(row[1]);
    status = index.commonPrefixes(
        query.data(), query.size(),
        [&](std::size_t length, Index::Value v) { pair(query.substr(0, length), v); });
  } else if (kind == "predict") {
    const std::string prefix = unescape(row[1]);
    Index::Cursor cursor;
    const std::size_t limit = row[2] == "*" ? SIZE_MAX : std::stoul(row[2]);
    status = index.predict(prefix.data(), prefix.size(), pair, cursor, limit);
  } else if (kind == "restore") {
    std::string key;
    status = index.restoreKey(std::stoll(row[1]), key);
    if (status.ok()) return escape(key);  // the empty key too
  } else if (kind == "count") {
    std::size_t count = 0;
    status = index.countKeys(count);
    out << count;
    EXPECT_EQ(index.keyCount(), count);
  } else if (kind == "dump") {
    status = index.forEach(pair);
  } else if (kind == "scan") {
    Tessel::ScanOptions options;
    options.longest = row[1].find("longest") != std::string::npos;
    options.words = row[1].find("words") != std::string::npos;
    options.ignoreCase = row[1].find("icase") != std::string::npos;
    const std::string text = unescape(row[2]);
    Index::Scanner scanner;
    scanner.reset(index, text.data(), text.size(), options);
    while (scanner.next()) {
      out << separator << scanner.position() << ':' << scanner.length() << ':' << scanner.value();
      separator = " ";
      // The key reported is the one stored with the value.
      Index::Value value;
      const std::string key(scanner.key());
      EXPECT_TRUE(index.find(key.data(), key.size(), value).ok() && value == scanner.value())
          << escape(key);
    }
    status = scanner.status();
  } else {
    ADD_FAILURE() << "no such kind of row: " << kind;
  }
  if (status.failed()) return "error: " + status.toString();
  const std::string text = out.str();
  return text.empty() ? "-" : text;
}

class ConformanceTest : public TesselTest::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    std::ifstream table(TESSEL_SOURCE_DIR "/tests/data/conformance.txt");
    ASSERT_TRUE(table) << "no table";
    for (std::string line; std::getline(table, line);) {
      if (line.empty() || line[0] == '#') continue;
      Row fields = split(line);
      if (fields[0] == "keys") {
        sections_.emplace_back();
        for (std::size_t i = 1; i < fields.size(); ++i) {
          sections_.back().keys.push_back(unescape(fields[i]));
        }
      } else if (fields[0] == "weights") {
        ASSERT_FALSE(sections_.empty()) << "weights before the keys";
        for (std::size_t i = 1; i < fields.size(); ++i) {
          sections_.back().weights.push_back(static_cast<std::uint32_t>(std::stoul(fields[i])));
        }
      } else {
        ASSERT_FALSE(sections_.empty()) << "a row before the keys";
        sections_.back().rows.push_back(std::move(fields));
      }
    }
    ASSERT_FALSE(sections_.empty());
  }

  // Makes the key list of a section of the table, which the indexes are then made of.
  void use(std::size_t section) {
    keys_ = sections_[section].keys;
    weights_ = sections_[section].weights;
    rows_ = sections_[section].rows;
    const std::string name = "keys" + std::to_string(section);
    ASSERT_EQ(::mkdir(path(name).c_str(), 0755), 0);
    prefix_ = name + "/";
    std::ofstream list(path(prefix_ + "keys.txt"), std::ios::binary);
    for (const std::string& key : keys_) list << key << '\n';
  }

  std::string file() {
    std::vector<const char*> pointers;
    std::vector<std::size_t> lengths;
    for (const std::string& key : keys_) {
      pointers.push_back(key.data());
      lengths.push_back(key.size());
    }
    Tessel::DoubleArray trie;
    EXPECT_EQ(trie.build(keys_.size(), pointers.data(), lengths.data()), 0);
    EXPECT_EQ(trie.save(path(prefix_ + "keys.idx").c_str()), 0);
    return path(prefix_ + "keys.idx");
  }

  // The keys in `count` shards of equal numbers of lines, in the directory `name`.
  std::string shards(std::size_t count, const std::string& name) {
    std::string directory = path(prefix_ + name);
    EXPECT_EQ(::mkdir(directory.c_str(), 0755), 0);
    EXPECT_EQ(TesselTest::makeShards(path(prefix_ + "keys.txt"), directory, count), 0);
    return directory;
  }

  void expectTable(const Index& index, const std::string& where) {
    for (const Row& row : rows_) {
      EXPECT_EQ(answer(index, row), row.back()) << where << ": " << row[0] << ' ' << row[1];
    }
  }

  // Gives the index at `at` its keys' weights, when the section has them.
  void weigh(const std::string& at) {
    if (weights_.empty()) return;
    Index index;
    ASSERT_TRUE(index.open(at.c_str()).ok());
    const Tessel::Status saved = index.saveWeights(weights_.data(), weights_.size());
    ASSERT_TRUE(saved.ok()) << saved.toString();
  }

  struct Section {
    std::vector<std::string> keys;
    std::vector<std::uint32_t> weights;
    std::vector<Row> rows;
  };
  std::vector<Section> sections_;
  std::vector<std::string> keys_;  // of the section in use
  std::vector<std::uint32_t> weights_;
  std::vector<Row> rows_;
  std::string prefix_;  // the section's directory
};

TEST_F(ConformanceTest, EveryKindOfIndexAnswersTheTable) {
  for (std::size_t section = 0; section < sections_.size(); ++section) {
    use(section);
    const std::pair<std::string, std::string> indexes[] = {
        {"file", file()}, {"1 shard", shards(1, "one")}, {"4 shards", shards(4, "four")}};
    for (const auto& [where, at] : indexes) {
      weigh(at);
      Index index;
      const Tessel::Status opened = index.open(at.c_str());
      ASSERT_TRUE(opened.ok()) << opened.toString();
      EXPECT_EQ(index.sharded(), where != "file");
      expectTable(index, where);
      EXPECT_TRUE(index.verify().ok());
    }
    // Shards mapped at open answer after their files are gone, as through a rebuild.
    Index index;
    const std::string four = path(prefix_ + "four");
    ASSERT_TRUE(index.open((four + "/" + Tessel::kManifestName).c_str()).ok());
    for (std::size_t n = 0; n < 4; ++n) {
      ASSERT_EQ(::unlink((four + "/shard-test-" + std::to_string(n) + ".idx").c_str()), 0);
    }
    expectTable(index, "4 shards removed after open");
  }
}

}  // namespace
