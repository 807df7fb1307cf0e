// A sharded index answers as the one index of the same keys, in every kind of query; and a
// manifest that is damaged or hostile gives one clear status, never a read outside its
// directory.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/double_array.h>
#include <tessel/index.h>
#include <tessel/index_view.h>
#include <tessel/internal/crc32c.h>
#include <tessel/manifest.h>
#include <tessel/shard_builder.h>
#include <tessel/shard_directory.h>
#include <tessel/sharded_index.h>

#include "key_sets.h"
#include "scratch_dir.h"
#include "shard_maker.h"

namespace {

using Tessel::Index;
using Tessel::IndexView;
using Tessel::ShardedIndex;
using Tessel::Status;

class ShardedTest : public TesselTest::ScratchDirTest {
 protected:
  // Writes `keys` (sorted, one a line) and builds them as one index and as `shards` shards.
  void make(const std::vector<std::string>& keys, std::size_t shards) {
    std::string text;
    for (const std::string& key : keys) {
      text += key;
      text += '\n';
    }
    std::ofstream(path("keys.txt"), std::ios::binary) << text;
    std::vector<const char*> pointers;
    pointers.reserve(keys.size());
    for (const std::string& key : keys) pointers.push_back(key.c_str());
    Tessel::DoubleArray trie;
    ASSERT_EQ(trie.build(pointers.size(), pointers.data()), 0);
    ASSERT_EQ(trie.save(path("one.idx").c_str()), 0);
    ASSERT_EQ(one_.open(path("one.idx").c_str()), IndexView::kOk);
    ASSERT_EQ(TesselTest::makeShards(path("keys.txt"), dir_, shards), 0);
    const int fd = ::open(path(Tessel::kManifestName).c_str(), O_RDONLY | O_CLOEXEC);
    std::string why;
    manifest_ = Tessel::Manifest();
    ASSERT_EQ(Tessel::readManifest(fd, manifest_, why), Tessel::kIndexOk) << why;
    ::close(fd);
  }

  // Rewrites the manifest as text, changed by `edit`.
  void writeText(const std::string& text) {
    std::ofstream(path(Tessel::kManifestName), std::ios::binary | std::ios::trunc) << text;
  }

  IndexView one_;
  Tessel::Manifest manifest_;
};

std::vector<std::pair<std::string, long long>> listed(const Index& index, const std::string& prefix,
                                                      std::size_t limit) {
  std::vector<std::pair<std::string, long long>> keys;
  Index::Cursor cursor;
  EXPECT_TRUE(
      index
          .predict(
              prefix.data(), prefix.size(),
              [&](const std::string& key, long long value) { keys.emplace_back(key, value); },
              cursor, limit)
          .ok());
  return keys;
}

std::vector<std::pair<std::string, long long>> listed(const IndexView& index,
                                                      const std::string& prefix,
                                                      std::size_t limit) {
  std::vector<std::pair<std::string, long long>> keys;
  IndexView::Cursor cursor;
  index.predict(
      prefix.data(), prefix.size(),
      [&](const std::string& key, std::int32_t value) { keys.emplace_back(key, value); }, cursor,
      limit);
  return keys;
}

TEST_F(ShardedTest, EveryQueryAnswersAsOneIndex) {
  for (const char* set : {"words", "urls", "dups"}) {
    std::vector<std::string> keys = TesselBench::makeKeys(set, 3000, 5);
    keys.insert(keys.begin(), "");  // the empty key, in the first shard
    for (const std::size_t shards : {1u, 3u, 17u}) {
      SCOPED_TRACE(std::string(set) + " in " + std::to_string(shards) + " shards");
      make(keys, shards);
      Index sharded;
      const Status opened = sharded.open(dir_.c_str());
      ASSERT_TRUE(opened.ok()) << opened.toString();
      ASSERT_TRUE(sharded.sharded());
      EXPECT_TRUE(sharded.verify().ok());
      EXPECT_EQ(sharded.keyCount(), one_.keyCount());
      std::mt19937 random(7);
      std::vector<std::string> queries;
      for (std::size_t i = 0; i < 600; ++i) {
        const std::string& key = keys[random() % keys.size()];
        queries.push_back(key);
        queries.push_back(key + "x");
        queries.push_back(key.substr(0, key.size() / 2));
      }
      std::vector<const char*> pointers;
      std::vector<std::size_t> lengths;
      for (const std::string& q : queries) {
        pointers.push_back(q.data());
        lengths.push_back(q.size());
      }
      std::vector<Index::Value> many(queries.size());
      ASSERT_TRUE(
          sharded.findMany(queries.size(), pointers.data(), lengths.data(), many.data()).ok());
      std::vector<std::tuple<std::size_t, std::size_t, long long>> prefixesMany, prefixesOne;
      ASSERT_TRUE(sharded
                      .commonPrefixesMany(queries.size(), pointers.data(), lengths.data(),
                                          [&](std::size_t q, std::size_t n, long long v) {
                                            prefixesMany.emplace_back(q, n, v);
                                          })
                      .ok());
      one_.commonPrefixesMany(
          queries.size(), pointers.data(), lengths.data(),
          [&](std::size_t q, std::size_t n, std::int32_t v) { prefixesOne.emplace_back(q, n, v); });
      ASSERT_EQ(prefixesMany, prefixesOne);
      for (std::size_t i = 0; i < queries.size(); ++i) {
        const std::string& q = queries[i];
        std::int32_t expected = -1;
        one_.find(q.data(), q.size(), expected);
        Index::Value value = -1;
        const Status found = sharded.find(q.data(), q.size(), value);
        ASSERT_EQ(found.ok(), expected >= 0) << q;
        ASSERT_FALSE(found.failed());
        ASSERT_EQ(found.ok() ? value : -1, expected) << q;
        ASSERT_EQ(many[i], expected) << q;
        std::vector<std::pair<std::size_t, long long>> a, b;
        one_.commonPrefixes(q.data(), q.size(),
                            [&](std::size_t n, std::int32_t v) { a.emplace_back(n, v); });
        ASSERT_TRUE(sharded
                        .commonPrefixes(q.data(), q.size(),
                                        [&](std::size_t n, long long v) { b.emplace_back(n, v); })
                        .ok());
        // A walk byte by byte, as across buffers, ends where the one index's does.
        Index::Walk walk;
        std::size_t at = 0, node = 0, atOne = 0;
        Index::Value walked = 0;
        for (std::size_t k = 0; k < q.size() && walked != Index::kNoPath; ++k) {
          ASSERT_TRUE(sharded.traverse(q.data(), k + 1, at, walk, walked).ok());
        }
        if (q.empty()) {
          ASSERT_TRUE(sharded.traverse(q.data(), 0, at, walk, walked).ok());
        }
        ASSERT_EQ(walked, one_.traverse(q.data(), q.size(), node, atOne)) << q;
        ASSERT_EQ(at, atOne) << q;
        ASSERT_EQ(b, a) << q;
        if (i % 7 == 0) {
          const std::string prefix = q.substr(0, i % 3);
          ASSERT_EQ(listed(sharded, prefix, 25), listed(one_, prefix, 25)) << prefix;
        }
        std::string restored, expectedKey;
        if (expected >= 0) {
          ASSERT_TRUE(sharded.restoreKey(expected, restored).ok());
          ASSERT_TRUE(one_.restoreKey(expected, expectedKey));
          ASSERT_EQ(restored, expectedKey);
        }
      }
      std::vector<std::pair<std::string, long long>> all, allOne;
      EXPECT_TRUE(
          sharded.forEach([&](const std::string& k, long long v) { all.emplace_back(k, v); }).ok());
      one_.forEach([&](const std::string& k, std::int32_t v) { allOne.emplace_back(k, v); });
      EXPECT_EQ(all, allOne);
      EXPECT_EQ(listed(sharded, "", SIZE_MAX), allOne);
      std::string key;
      EXPECT_TRUE(sharded.restoreKey(-1, key).isNotFound());
      EXPECT_TRUE(sharded.restoreKey(static_cast<long long>(keys.size()), key).isNotFound());
    }
  }
}

TEST_F(ShardedTest, DamagedOrHostileManifestsAreRefused) {
  std::vector<std::string> keys = TesselBench::makeKeys("words", 2000, 6);
  make(keys, 4);
  const std::string good = Tessel::manifestText(manifest_);
  auto statusOf = [&](const std::string& text) {
    writeText(text);
    ShardedIndex index;
    return index.open(dir_.c_str()).code();
  };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
  };
  const std::string first = "file=" + manifest_.shards[0].file;
  // Names that would lead out of the directory.
  std::ofstream(testing::TempDir() + "outside.idx", std::ios::binary)
      << std::ifstream(path(manifest_.shards[0].file), std::ios::binary).rdbuf();
  ASSERT_EQ(::symlink((testing::TempDir() + "outside.idx").c_str(), path("link.idx").c_str()), 0);
  for (const std::string& name :
       {"../" + manifest_.shards[0].file, std::string("/etc/passwd"),
        "sub/" + manifest_.shards[0].file, std::string(".."), std::string()}) {
    EXPECT_EQ(statusOf(replaced(first, std::string("file=") + name)), ShardedIndex::kBadManifest)
        << name;
  }
  // A link, even to a shard's copy, leads outside the directory; so does a manifest that is one.
  EXPECT_EQ(statusOf(replaced(first, "file=link.idx")), ShardedIndex::kBadManifest);
  {
    ShardedIndex index;
    const Status opened = index.open(dir_.c_str());
    ASSERT_EQ(opened, ShardedIndex::kBadManifest);
    EXPECT_NE(opened.where().find("link.idx is a link: outside its directory"), std::string::npos)
        << opened.where();
    writeText(good);
    ASSERT_EQ(::rename(path(Tessel::kManifestName).c_str(), path("real").c_str()), 0);
    ASSERT_EQ(::symlink("real", path(Tessel::kManifestName).c_str()), 0);
    EXPECT_EQ(index.open(dir_.c_str()), ShardedIndex::kBadManifest);
    EXPECT_EQ(index.open(path(Tessel::kManifestName).c_str()), ShardedIndex::kBadManifest);
    ASSERT_EQ(::rename(path("real").c_str(), path(Tessel::kManifestName).c_str()), 0);
  }
  EXPECT_EQ(statusOf(replaced(first, "file=missing.idx")), ShardedIndex::kCannotOpen);
  // Damaged text, counts no shard has, ranges out of order or overlapping.
  for (const std::string& text :
       {std::string(), std::string("tessel-shards 2\n"), good.substr(0, good.size() / 2),
        replaced("end 4", "end 5"), replaced("end 4", "end 4\nmore"),
        replaced("keys=", "keys=99999999999999999999"), replaced("keys=", "keys=-"),
        replaced("crc32c=", "crc32c=xyz"),
        replaced("lines=" + std::to_string(manifest_.shards[0].lines) + " ", "lines=0 "),
        replaced("bytes=", "bytes=7"), replaced("base=0", "base=9223372036854775807"),
        replaced("first=", "first=%G1")}) {
    EXPECT_EQ(statusOf(text), ShardedIndex::kBadManifest) << text.substr(0, 200);
  }
  // A text cut short or with more after its end is told by its line, as every other fault.
  for (const auto& [text, reason] :
       {std::pair<std::string, std::string>{good.substr(0, good.size() - 1),
                                            "line 7: the file ends inside this line"},
        {good + "more", "line 8: text after the end"},
        {good + std::string(60, '\0'), "line 8: text after the end"},
        {good.substr(0, good.find("keys=")), "line 3: no keys= where it belongs"}}) {
    writeText(text);
    ShardedIndex index;
    const Status opened = index.open(dir_.c_str());
    EXPECT_EQ(opened, ShardedIndex::kBadManifest);
    EXPECT_NE(opened.where().find("MANIFEST: " + reason), std::string::npos) << opened.where();
    Tessel::Manifest parsed;
    EXPECT_EQ(Tessel::parseManifest(text.data(), text.size(), parsed), reason);
  }
  Tessel::Manifest swapped = manifest_;
  std::swap(swapped.shards[1], swapped.shards[2]);
  EXPECT_EQ(statusOf(Tessel::manifestText(swapped)), ShardedIndex::kBadManifest);
  Tessel::Manifest overlapping = manifest_;
  overlapping.shards[1].first = overlapping.shards[0].last;
  EXPECT_EQ(statusOf(Tessel::manifestText(overlapping)), ShardedIndex::kBadManifest);
  Tessel::Manifest values = manifest_;
  values.shards[2].base = values.shards[1].base;
  EXPECT_EQ(statusOf(Tessel::manifestText(values)), ShardedIndex::kBadManifest);
  Tessel::Manifest size = manifest_;
  size.shards[0].bytes += 8;
  EXPECT_EQ(statusOf(Tessel::manifestText(size)), ShardedIndex::kBadManifest);
  // A checksum that differs is found by verify().
  Tessel::Manifest crc = manifest_;
  crc.shards[3].crc32c ^= 1;
  ASSERT_EQ(statusOf(Tessel::manifestText(crc)), ShardedIndex::kOk);
  ShardedIndex index;
  ASSERT_TRUE(index.open(dir_.c_str()).ok());
  const Status verified = index.verify();
  EXPECT_EQ(verified, ShardedIndex::kCorrupt);
  EXPECT_NE(verified.where().find(manifest_.shards[3].file), std::string::npos);
  // A shard whose root is not an index's, and a directory with no manifest.
  writeText(good);
  {
    std::fstream shard(path(manifest_.shards[1].file),
                       std::ios::in | std::ios::out | std::ios::binary);
    shard.write("\x07", 1);
  }
  EXPECT_EQ(statusOf(good), ShardedIndex::kCorrupt);
  ASSERT_EQ(::unlink(path(Tessel::kManifestName).c_str()), 0);
  ShardedIndex none;
  EXPECT_EQ(none.open(dir_.c_str()), ShardedIndex::kNotAnIndex);
  Index front;
  EXPECT_EQ(front.open(dir_.c_str()), ShardedIndex::kNotAnIndex);
}

TEST_F(ShardedTest, VerifyChecksTheManifestsNumbersAgainstTheShards) {
  make(TesselBench::makeKeys("dups", 2000, 9), 2);
  auto verified = [&](const Tessel::Manifest& edited) {
    writeText(Tessel::manifestText(edited));
    ShardedIndex index;
    EXPECT_TRUE(index.open(dir_.c_str()).ok());
    const Status status = index.verify();
    return std::make_pair(status.code(), status.where());
  };
  EXPECT_EQ(verified(manifest_).first, ShardedIndex::kOk);
  // Numbers that a manifest may hold, but not this one: a key count, lines the values pass,
  // a base that leaves a gap.
  Tessel::Manifest keys = manifest_;
  keys.shards[0].keys -= 1;
  Tessel::Manifest lines = manifest_;
  std::int32_t last = -1;
  one_.find(lines.shards[0].last.data(), lines.shards[0].last.size(), last);
  lines.shards[0].lines = static_cast<std::uint64_t>(last);
  lines.shards[1].base = lines.shards[0].lines;
  ASSERT_GE(lines.shards[0].lines, lines.shards[0].keys);
  Tessel::Manifest gap = manifest_;
  gap.shards[1].base += 1;
  for (const Tessel::Manifest* edited : {&keys, &lines, &gap}) {
    const auto [status, why] = verified(*edited);
    EXPECT_EQ(status, ShardedIndex::kBadManifest) << why;
    EXPECT_NE(why.find("MANIFEST: line "), std::string::npos) << why;
  }
  {
    // A value at or past its shard's lines is never given: every query that meets it fails.
    writeText(Tessel::manifestText(lines));
    Index index;
    ASSERT_TRUE(index.open(dir_.c_str()).ok());
    const std::string& key = lines.shards[0].last;
    Index::Value value;
    EXPECT_EQ(index.find(key.data(), key.size(), value), Tessel::kIndexCorrupt);
    const char* queries[] = {key.c_str()};
    const std::size_t lengths[] = {key.size()};
    EXPECT_EQ(index.findMany(1, queries, lengths, &value), Tessel::kIndexCorrupt);
    EXPECT_EQ(index.commonPrefixes(key.data(), key.size(), [](std::size_t, Index::Value) {}),
              Tessel::kIndexCorrupt);
    EXPECT_EQ(index.predict(key.data(), key.size(), [](const std::string&, Index::Value) {}),
              Tessel::kIndexCorrupt);
    EXPECT_EQ(index.forEach([](const std::string&, Index::Value) {}), Tessel::kIndexCorrupt);
    EXPECT_EQ(index.scan(key.data(), key.size(), [](std::size_t, std::size_t, Index::Value) {}),
              Tessel::kIndexCorrupt);
  }
  // Threads verifying one damaged index at once each get its fault.
  Tessel::Manifest crc = manifest_;
  crc.shards[1].crc32c ^= 1;
  writeText(Tessel::manifestText(crc));
  ShardedIndex index;
  ASSERT_TRUE(index.open(dir_.c_str()).ok());
  std::vector<Status> statuses(6);
  std::vector<std::thread> threads;
  threads.reserve(statuses.size());
  for (Status& status : statuses) {
    threads.emplace_back([&index, &status] {
      for (int i = 0; i < 20; ++i) status = index.verify();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const Status& status : statuses) {
    EXPECT_EQ(status, ShardedIndex::kCorrupt);
    EXPECT_NE(status.where().find(manifest_.shards[1].file), std::string::npos) << status.where();
  }
}

TEST_F(ShardedTest, AHugeManifestIsRefusedAtItsFirstWrongLine) {
  // A gigabyte, but for its first two lines a hole of zeros: refused at line 3 after a page.
  {
    std::ofstream out(path(Tessel::kManifestName), std::ios::binary);
    out << "tessel-shards 1\ngeneration g\n\n";
    ASSERT_TRUE(out.flush());
  }
  ASSERT_EQ(::truncate(path(Tessel::kManifestName).c_str(), (off_t{1} << 30) - 1), 0);
  rusage before, after;
  ::getrusage(RUSAGE_SELF, &before);
  ShardedIndex index;
  const Status opened = index.open(dir_.c_str());
  EXPECT_EQ(opened, ShardedIndex::kBadManifest);
  ::getrusage(RUSAGE_SELF, &after);
  EXPECT_NE(opened.where().find("MANIFEST: line 3: "), std::string::npos) << opened.where();
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 << 10) << "kilobytes";
}

std::string numbered(std::size_t n) {
  char key[16];
  (void)std::snprintf(key, sizeof key, "k%06zu", n);
  return key;
}

TEST_F(ShardedTest, ManyShardsAnswerUnderALowFileLimit) {
  // More shards than may be mapped at once, and than the process may open files: each is
  // opened when it is mapped, and the least used is unmapped.
  const std::size_t count = ShardedIndex::kMostMapped + 300;
  Tessel::Manifest manifest;
  manifest.generation = "g";
  for (std::size_t n = 0; n < count; ++n) {
    const std::string key = numbered(n);
    const char* keys[] = {key.c_str()};
    Tessel::DoubleArray trie;
    ASSERT_EQ(trie.build(1, keys), 0);
    Tessel::ShardEntry entry;
    entry.file = "s" + std::to_string(n) + ".idx";
    entry.keys = entry.lines = 1;
    entry.base = n;
    entry.bytes = trie.size() * sizeof(Tessel::DoubleArray::Unit);
    entry.crc32c = Tessel::internal::Crc32c::update(0, trie.array(), entry.bytes);
    entry.first = entry.last = key;
    std::ofstream(path(entry.file), std::ios::binary)
        .write(reinterpret_cast<const char*>(trie.array()),
               static_cast<std::streamsize>(entry.bytes));
    manifest.shards.push_back(entry);
  }
  ASSERT_EQ(Tessel::writeManifest(dir_, manifest), 0);
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  ShardedIndex index;
  // Mapped on first use: more shards than the index maps at open.
  const Status opened = index.open(dir_.c_str(), count / 2);
  // Threads that walk every shard in turn, so that shards are unmapped under the others.
  std::vector<std::size_t> found(3);
  std::vector<std::thread> threads;
  threads.reserve(found.size());
  for (std::size_t t = 0; opened.ok() && t < found.size(); ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t n = t; n < count; n += 1) {
        const std::size_t wanted = (n * 7 + t * 101) % count;
        ShardedIndex::Value value = -1;
        if (index.find(numbered(wanted).c_str(), 7, value).ok() &&
            value == static_cast<ShardedIndex::Value>(wanted)) {
          ++found[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::size_t listedKeys = 0;
  const Status walked = index.forEach([&](const std::string&, long long) { ++listedKeys; });
  const Status verified = index.verify();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(opened.ok()) << opened.toString();
  for (std::size_t t = 0; t < found.size(); ++t) EXPECT_EQ(found[t], count - t);
  EXPECT_TRUE(walked.ok());
  EXPECT_EQ(listedKeys, count);
  EXPECT_TRUE(verified.ok()) << verified.toString();
  // A shard removed under such an index fails the call that needs it, naming it, and only
  // that call: the others answer.
  ASSERT_EQ(::unlink(path("s7.idx").c_str()), 0);
  for (std::size_t n = 0; n < count; ++n) {
    ShardedIndex::Value value;
    (void)index.find(numbered((n + 8) % count).c_str(), 7, value);
  }
  ShardedIndex::Value value;
  const Status removed = index.find("k000007", 7, value);
  EXPECT_EQ(removed, ShardedIndex::kCannotOpen);
  EXPECT_EQ(removed.where(), path("s7.idx"));
  EXPECT_EQ(removed.error(), ENOENT);
  EXPECT_TRUE(index.find("k000006", 7, value).ok());
  EXPECT_EQ(value, 6);
  // A shard replaced by another file of the same size is noticed, and gives no value.
  const std::string eight = path("s8.idx"), copy = path("copy.idx");
  std::ofstream(copy, std::ios::binary) << std::ifstream(path("s9.idx"), std::ios::binary).rdbuf();
  ASSERT_EQ(::rename(copy.c_str(), eight.c_str()), 0);
  for (std::size_t n = 0; n < count; ++n) {
    ShardedIndex::Value v;
    (void)index.find(numbered((n + 10) % count).c_str(), 7, v);
  }
  EXPECT_EQ(index.find("k000008", 7, value), ShardedIndex::kCorrupt);
  EXPECT_TRUE(index.find("k000009", 7, value).ok());
}

TEST_F(ShardedTest, AnOpenIndexReadsShardsRemovedAfterward) {
  make(TesselBench::makeKeys("words", 1000, 8), 3);
  Index index;
  ASSERT_TRUE(index.open((dir_ + Tessel::kManifestName).c_str()).ok());
  for (const auto& shard : manifest_.shards) ASSERT_EQ(::unlink(path(shard.file).c_str()), 0);
  std::size_t count = 0;
  EXPECT_TRUE(index.forEach([&](const std::string&, long long) { ++count; }).ok());
  EXPECT_EQ(count, 1000u);
}

// The names in a directory, sorted.
std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A shard's build whose marker is gone (the build was given up) stops early, from a key file
// (in its build) and from framed keys (in their sort), and leaves no file; with its marker it
// builds.
TEST_F(ShardedTest, AGivenUpShardStopsAndLeavesNothing) {
  const std::vector<std::string> keys = TesselBench::makeKeys("words", 200000, 9);
  std::string text;
  std::vector<Tessel::internal::KeyRef> refs;
  refs.reserve(keys.size());
  for (const std::string& key : keys) text += key + '\n';
  for (const std::string& key : keys)
    refs.push_back({reinterpret_cast<const unsigned char*>(key.data()), key.size()});
  std::ofstream(path("keys.txt"), std::ios::binary) << text;
  const int fd = ::open(path("keys.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string shard = path("shard.idx"), marker = path("marker");
  const Tessel::ShardBuild fromLines =
      Tessel::buildShard(fd, 0, 0, {shard.c_str(), nullptr, marker.c_str()});
  const Tessel::ShardBuild fromFrames =
      Tessel::buildShard(refs, {shard.c_str(), nullptr, marker.c_str()});
  for (const Tessel::ShardBuild& built : {fromLines, fromFrames}) {
    EXPECT_FALSE(built.saved);
    EXPECT_EQ(built.error, ECANCELED);
    EXPECT_EQ(built.entry.keys, 0u);  // stopped before its end, not refused at its commit
  }
  EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"keys.txt"});
  std::ofstream(marker) << "";
  EXPECT_TRUE(Tessel::buildShard(fd, 0, 0, {shard.c_str(), nullptr, marker.c_str()}).saved);
  ::close(fd);
}

}  // namespace

// Ranked completion from C++ against a plain reading (every key below the prefix, by weight
// then bytes), for the index file and its shards, each with a companion made from the lines'
// weights: runs of equal keys take their heaviest line, and onKey's false stops at once.
TEST_F(ShardedTest, TopIsThePlainReadingOnAFileAndOnShards) {
  std::mt19937 random(30);
  for (int round = 0; round < 6; ++round) {
    const std::string at = path("r" + std::to_string(round));
    ASSERT_EQ(::mkdir(at.c_str(), 0755), 0);
    const std::string dir = at + '/';
    auto in = [&](const std::string& name) { return dir + name; };
    const std::string alphabet = round % 2 == 0 ? "ab" : "ab\xc3\xa9-";
    std::vector<std::string> lines;
    for (int i = 0, count = 20 + round * 30; i < count; ++i) {
      std::string key;
      for (int n = static_cast<int>(random() % 6); n > 0; --n)
        key += alphabet[random() % alphabet.size()];
      lines.push_back(key);
    }
    std::sort(lines.begin(), lines.end());
    std::vector<std::uint32_t> weights;
    weights.reserve(lines.size());
    const std::uint32_t most = round < 3 ? 3 : 0xFFFFFFFFu;  // many ties, then few
    for (std::size_t i = 0; i < lines.size(); ++i)
      weights.push_back(random() % (std::uint64_t{most} + 1));
    std::ofstream keys(in("keys.txt"), std::ios::binary);
    for (const std::string& key : lines) keys << key << '\n';
    keys.close();
    struct Plain {
      long long value;
      std::uint32_t weight;
    };
    std::map<std::string, Plain> plain;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      auto [at, fresh] = plain.emplace(lines[i], Plain{static_cast<long long>(i), weights[i]});
      if (!fresh) at->second.weight = std::max(at->second.weight, weights[i]);
    }
    std::vector<const char*> pointers;
    pointers.reserve(lines.size());
    for (const std::string& key : lines) pointers.push_back(key.c_str());
    Tessel::DoubleArray trie;
    ASSERT_EQ(trie.build(pointers.size(), pointers.data()), 0);
    ASSERT_EQ(trie.save(in("one.idx").c_str()), 0);
    const std::string shards = in("shards");
    ASSERT_EQ(::mkdir(shards.c_str(), 0755), 0);
    ASSERT_EQ(TesselTest::makeShards(in("keys.txt"), shards, 3), 0);
    for (const std::string& where : {in("one.idx"), shards}) {
      Index index;
      ASSERT_TRUE(index.open(where.c_str()).ok());
      ASSERT_TRUE(index.saveWeights(weights.data(), weights.size()).ok());
      EXPECT_TRUE(index.verify().ok());
      for (const std::string prefix : {"", "a", "b", "ab", "\xc3", "\xc3\xa9", "ba-", "z"}) {
        std::vector<std::pair<std::uint32_t, std::string>> below;
        for (const auto& [key, found] : plain) {
          if (key.compare(0, prefix.size(), prefix) == 0) below.emplace_back(found.weight, key);
        }
        std::stable_sort(below.begin(), below.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
          std::string expected, got;
          for (std::size_t i = 0; i < below.size() && i < n; ++i) {
            expected += std::to_string(plain[below[i].second].value) + ':' +
                        std::to_string(below[i].first) + ':' + below[i].second + ' ';
          }
          ASSERT_TRUE(index
                          .top(prefix.data(), prefix.size(), n,
                               [&](const std::string& key, long long value, std::uint32_t weight) {
                                 got += std::to_string(value) + ':' + std::to_string(weight) + ':' +
                                        key + ' ';
                               })
                          .ok());
          EXPECT_EQ(got, expected) << where << " prefix " << prefix << " n " << n;
        }
        std::size_t calls = 0;
        EXPECT_TRUE(
            index
                .top(prefix.data(), prefix.size(), 1000,
                     [&](const std::string&, long long, std::uint32_t) { return ++calls < 2; })
                .ok());
        EXPECT_EQ(calls, std::min<std::size_t>(2, below.size()));
      }
      // Weights of half the lines fail before any companion changes: the shards before the
      // first that lacks lines kept the new weights, the rest the old.
      auto listing = [&] {
        std::string all;
        EXPECT_TRUE(index
                        .top("", 0, 1000,
                             [&](const std::string& key, long long, std::uint32_t weight) {
                               all += std::to_string(weight) + ':' + key + ' ';
                             })
                        .ok());
        return all;
      };
      const std::string before = listing();
      const std::vector<std::uint32_t> half(lines.size() / 2, 7);
      EXPECT_EQ(index.saveWeights(half.data(), half.size()).code(), Tessel::kIndexCorrupt);
      index.close();
      ASSERT_TRUE(index.open(where.c_str()).ok());
      EXPECT_EQ(listing(), before) << where;
      if (where != shards) continue;
      // The last shard's companion cannot be written: those before it are put back, and
      // nothing else is left in the directory.
      const std::vector<std::string> names = namesIn(shards);
      std::string last;
      for (const std::string& name : names) {
        if (name.size() > 8 && name.compare(name.size() - 8, 8, ".weights") == 0) last = name;
      }
      ASSERT_FALSE(last.empty());
      const std::string blocked = std::string(shards).append("/").append(last);
      ASSERT_EQ(::rename(blocked.c_str(), (blocked + ".aside").c_str()), 0);
      ASSERT_EQ(::mkdir(blocked.c_str(), 0755), 0);
      const std::vector<std::uint32_t> other(lines.size(), 9);
      EXPECT_FALSE(index.saveWeights(other.data(), other.size()).ok());
      ASSERT_EQ(::rmdir(blocked.c_str()), 0);
      ASSERT_EQ(::rename((blocked + ".aside").c_str(), blocked.c_str()), 0);
      EXPECT_EQ(namesIn(shards), names);
      index.close();
      ASSERT_TRUE(index.open(where.c_str()).ok());
      EXPECT_EQ(listing(), before);
    }
  }
}
