// Fuzzes IndexView on arbitrary bytes: the first bytes give queries, the rest is an index file.
// Opening, exact matches, common prefixes, traversal, predictive search, enumeration, the
// batched lookups, the cursor, the key count, value -> key and scans must end without a crash, a
// sanitizer report or a time-out, and must agree with one another (the batched calls with the
// single ones on any file; the rest wherever the units form a tree).

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <tessel/index.h>
#include <tessel/index_view.h>

#include "fuzz_support.h"

namespace {

using Key = std::pair<std::string, std::int32_t>;

// Opens the bytes as a file, through the same path as a file on disk.
int openAsFile(const std::string& bytes, Tessel::IndexView& view) {
  const int fd = memoryFile(bytes.data(), bytes.size());
  char path[64];
  (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return view.open(path);
}

void query(const Tessel::IndexView& index, const std::string& q,
           Tessel::IndexView::Cursor& cursor) {
  std::int32_t value = -1;
  const bool found = index.find(q.data(), q.size(), value);

  // Traversal in two pieces reaches the same answer as in one.
  std::size_t node = 0, pos = 0;
  long result = index.traverse(q.data(), q.size() / 2, node, pos);
  if (result != index.kNoPath) result = index.traverse(q.data(), q.size(), node, pos);
  FUZZ_CHECK(found == (result >= 0));
  FUZZ_CHECK(!found || result == value);

  // The query itself is its own longest common prefix when it is a key.
  std::size_t last = 0;
  std::int32_t lastValue = -1;
  bool any = false;
  const std::size_t matches =
      index.commonPrefixes(q.data(), q.size(), [&](std::size_t length, std::int32_t v) {
        FUZZ_CHECK(!any || length > last);
        FUZZ_CHECK(length <= q.size());
        any = true;
        last = length;
        lastValue = v;
      });
  FUZZ_CHECK((matches > 0) == any);
  FUZZ_CHECK(found == (any && last == q.size()));
  FUZZ_CHECK(!found || lastValue == value);

  std::vector<Key> predicted;
  index.predict(
      q.data(), q.size(),
      [&](const std::string& key, std::int32_t value) {
        FUZZ_CHECK(key.compare(0, q.size(), q) == 0);
        predicted.emplace_back(key, value);
      },
      cursor);
  // A limit gives the first keys of the same listing.
  std::vector<Key> limited;
  index.predict(
      q.data(), q.size(),
      [&](const std::string& key, std::int32_t value) { limited.emplace_back(key, value); }, cursor,
      2);
  FUZZ_CHECK(limited.size() == std::min<std::size_t>(2, predicted.size()));
  FUZZ_CHECK(std::equal(limited.begin(), limited.end(), predicted.begin()));
}

// The batched calls give what the single ones give, on any file.
void queryBatch(const Tessel::IndexView& index, const std::vector<std::string>& queries) {
  std::vector<const char*> pointers;
  std::vector<std::size_t> lengths;
  for (const std::string& q : queries) {
    pointers.push_back(q.data());
    lengths.push_back(q.size());
  }
  std::vector<std::int32_t> values(queries.size());
  index.findMany(queries.size(), pointers.data(), lengths.data(), values.data());
  std::vector<std::pair<std::size_t, Key>> want, got;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    std::int32_t value = -1;
    FUZZ_CHECK(values[i] == (index.find(pointers[i], lengths[i], value) ? value : -1));
    index.commonPrefixes(pointers[i], lengths[i], [&](std::size_t length, std::int32_t v) {
      want.emplace_back(i, Key(queries[i].substr(0, length), v));
    });
  }
  index.commonPrefixesMany(queries.size(), pointers.data(), lengths.data(),
                           [&](std::size_t q, std::size_t length, std::int32_t v) {
                             FUZZ_CHECK(q < queries.size() && length <= lengths[q]);
                             got.emplace_back(q, Key(queries[q].substr(0, length), v));
                           });
  FUZZ_CHECK(got == want);
}

// Scans of the queries joined as a text, in every mode, on any file: each match is the value
// that find() gives its bytes, every match comes in order, and the leftmost-longest ones are
// among all of them, the longest at their positions, without overlap.
void scanText(const Tessel::IndexView& index, const std::vector<std::string>& queries) {
  std::string text;
  for (const std::string& q : queries) text += q;
  for (const bool words : {false, true}) {
    std::vector<std::tuple<std::size_t, std::size_t, std::int32_t>> all, longest;
    for (const bool leftmost : {false, true}) {
      Tessel::ScanOptions options;
      options.longest = leftmost;
      options.words = words;
      // The first query's bytes as more word characters: any bytes, UTF-8 or not.
      if (words && !queries.empty()) options.wordChars = queries.front();
      auto& found = leftmost ? longest : all;
      index.scan(text.data(), text.size(), options,
                 [&](std::size_t at, std::size_t length, std::int32_t value) {
                   FUZZ_CHECK(length > 0 && at + length <= text.size());
                   std::int32_t expected = -1;
                   FUZZ_CHECK(index.find(text.data() + at, length, expected) && expected == value);
                   FUZZ_CHECK(found.empty() ||
                              std::make_pair(std::get<0>(found.back()), std::get<1>(found.back())) <
                                  std::make_pair(at, length));
                   found.emplace_back(at, length, value);
                 });
    }
    // Ignoring case, each match's key is one that find() maps to its value, in order.
    for (const bool leftmost : {false, true}) {
      Tessel::ScanOptions options;
      options.longest = leftmost;
      options.words = words;
      options.ignoreCase = true;
      Tessel::IndexView::Scanner scanner;
      scanner.reset(index, text.data(), text.size(), options);
      std::pair<std::size_t, std::size_t> last(0, 0);
      while (scanner.next()) {
        FUZZ_CHECK(scanner.length() > 0 && scanner.position() + scanner.length() <= text.size());
        const std::pair<std::size_t, std::size_t> at(scanner.position(), scanner.length());
        FUZZ_CHECK(at >= last);
        last = at;
        std::int32_t expected = -1;
        FUZZ_CHECK(index.find(scanner.key().data(), scanner.key().size(), expected) &&
                   expected == scanner.value());
      }
    }
    // As lines, no match holds a '\n' (keys may).
    Tessel::ScanOptions lines;
    lines.lines = true;
    lines.words = words;
    index.scan(text.data(), text.size(), lines,
               [&](std::size_t at, std::size_t length, std::int32_t) {
                 FUZZ_CHECK(length > 0 && at + length <= text.size() &&
                            std::memchr(text.data() + at, '\n', length) == nullptr);
               });
    std::size_t next = 0;
    for (const auto& match : longest) {
      FUZZ_CHECK(std::get<0>(match) >= next);
      next = std::get<0>(match) + std::get<1>(match);
      FUZZ_CHECK(std::find(all.begin(), all.end(), match) != all.end());
      for (const auto& other : all) {
        FUZZ_CHECK(std::get<0>(other) != std::get<0>(match) ||
                   std::get<1>(other) <= std::get<1>(match));
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  // A control byte, the queries, then the file: an index file with a short head is a seed.
  if (size == 0) return 0;
  const std::size_t queryCount = bytes[0] & 7;
  const bool repair = bytes[0] & 8;
  FuzzedDataProvider data(bytes + 1, size - 1);
  std::vector<std::string> queries;
  for (std::size_t i = 0; i < queryCount; ++i)
    queries.push_back(data.ConsumeRandomLengthString(64));
  std::string file = data.ConsumeRemainingBytesAsString();
  // Most random files fail the first checks; repairing the root and the size gets past them.
  if (repair) {
    file.resize(std::max<std::size_t>(file.size() + 7 & ~std::size_t{7}, std::size_t{258} * 8));
    const std::int32_t root[2] = {1, 0};
    std::memcpy(&file[0], root, sizeof root);
  }

  Tessel::IndexView index;
  const int attached = index.attach(file.data(), file.size());
  Tessel::IndexView mapped;
  FUZZ_CHECK(openAsFile(file, mapped) == attached);
  if (attached != index.kOk) {
    FUZZ_CHECK(index.size() == 0);
    std::int32_t value;
    FUZZ_CHECK(!index.find("", 0, value));
    return 0;
  }
  FUZZ_CHECK(mapped.size() == index.size());

  std::vector<Key> keys;
  const int walked = index.forEach([&](const std::string& key, std::int32_t value) {
    FUZZ_CHECK(value >= 0);
    keys.emplace_back(key, value);
  });
  std::vector<Key> fromFile;
  FUZZ_CHECK(mapped.forEach([&](const std::string& key, std::int32_t value) {
    fromFile.emplace_back(key, value);
  }) == walked);
  FUZZ_CHECK(fromFile == keys);

  Tessel::IndexView::Cursor cursor;
  for (const std::string& q : queries) query(index, q, cursor);
  // Ignoring case, what is found is a key with its value.
  Tessel::Index front;
  FUZZ_CHECK(front.attach(file.data(), file.size()).ok());
  for (const std::string& q : queries) {
    Tessel::Index::Value value;
    std::string stored;
    std::int32_t again = -1;
    if (front.findIgnoringCase(q.data(), q.size(), value, &stored).ok()) {
      FUZZ_CHECK(index.find(stored.data(), stored.size(), again) && again == value);
    }
    FUZZ_CHECK(front
                   .commonPrefixesIgnoringCase(
                       q.data(), q.size(),
                       [&](std::size_t length, Tessel::Index::Value v, const std::string& key) {
                         FUZZ_CHECK(length <= q.size());
                         FUZZ_CHECK(index.find(key.data(), key.size(), again) && again == v);
                       })
                   .ok());
    std::size_t listed = 0;
    (void)front.predictIgnoringCase(
        q.data(), q.size(), [&](const std::string&, Tessel::Index::Value) { ++listed; }, 16);
    FUZZ_CHECK(listed <= 16);
  }
  queryBatch(index, queries);
  scanText(index, queries);

  // Whatever the file, a key given back for a value is one that find() maps to it.
  std::string restored;
  for (std::int32_t value = 0; value < 8; ++value) {
    if (!index.restoreKey(value, restored)) continue;
    std::int32_t found = -1;
    FUZZ_CHECK(index.find(restored.data(), restored.size(), found) && found == value);
  }
  if (walked != index.kOk) return 0;

  // A tree: the listing is in byte order without repeats, every key is found with its value,
  // and a predictive search from the empty prefix lists the same keys.
  for (std::size_t i = 0; i < keys.size(); ++i) {
    FUZZ_CHECK(i == 0 || keys[i - 1].first < keys[i].first);
    std::int32_t value = -1;
    FUZZ_CHECK(index.find(keys[i].first.data(), keys[i].first.size(), value));
    FUZZ_CHECK(value == keys[i].second);
    if (i < 16) query(index, keys[i].first, cursor);
  }
  std::vector<Key> predicted;
  index.predict(
      "", 0,
      [&](const std::string& key, std::int32_t value) { predicted.emplace_back(key, value); },
      cursor);
  FUZZ_CHECK(predicted == keys);

  // A tree: the units counted as key ends are at least the keys listed, and the first key of
  // each value comes back.
  FUZZ_CHECK(index.keyCount() >= keys.size());
  for (std::size_t i = keys.size(); i-- > 0;) {
    bool first = true;
    for (std::size_t j = 0; j < i; ++j) first &= keys[j].second != keys[i].second;
    if (!first) continue;
    FUZZ_CHECK(index.restoreKey(keys[i].second, restored) && restored == keys[i].first);
  }
  std::vector<std::string> listed(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) listed[i] = keys[i].first;
  queryBatch(index, listed);
  return 0;
}
