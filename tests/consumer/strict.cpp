// A consumer built the way strict code bases build: every conversion and shadowing warned of
// as an error, and with exceptions on or off. It builds, saves and reads an index through each
// kind of call and checks the answers; it prints "ok" and exits with 0 when all are right.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <tessel/double_array.h>
#include <tessel/index.h>
#include <tessel/index_view.h>
#include <tessel/key_lines.h>
#include <tessel/manifest.h>
#include <tessel/replace_file.h>
#include <tessel/sharded_index.h>
#include <tessel/weights.h>

namespace {

int failures = 0;

void expect(bool right, const char* what) {
  if (!right) {
    (void)std::fprintf(stderr, "wrong: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string path = argv[1];
  const char* keys[] = {"Apple", "app", "apple", "applied", "banana"};
  Tessel::DoubleArray trie;
  expect(trie.build(5, keys) == 0 && trie.save(path.c_str()) == 0, "build and save");
  const char* unsorted[] = {"b", "a"};
  Tessel::DoubleArray refused;
  expect(refused.build(2, unsorted) != 0, "unsorted keys refused");

  Tessel::Index index;
  expect(index.open(path.c_str()).ok(), "open");
  Tessel::Index::Value value = -1;
  expect(index.find("apple", 5, value).ok() && value == 2, "find");
  expect(index.find("apples", 6, value).isNotFound(), "find a non-key");
  std::string stored;
  expect(index.findIgnoringCase("APPLE", 5, value, &stored).ok() && stored == "Apple",
         "find ignoring case");

  std::vector<std::size_t> prefixes;
  expect(index.commonPrefixes(
                  "applesauce", 10,
                  [&](std::size_t length, Tessel::Index::Value) { prefixes.push_back(length); })
                 .ok() &&
             prefixes == std::vector<std::size_t>{3, 5},
         "common prefixes");

  std::vector<std::string> predicted;
  expect(index.predict("app", 3,
                       [&](const std::string& key, Tessel::Index::Value) {
                         predicted.push_back(key);
                         return true;
                       })
                 .ok() &&
             predicted == std::vector<std::string>{"app", "apple", "applied"},
         "predict");

  std::size_t listed = 0;
  expect(index.forEach([&](const std::string&, Tessel::Index::Value) { ++listed; }).ok() &&
             listed == 5,
         "every key");
  expect(index.restoreKey(4, stored).ok() && stored == "banana", "restore a key");

  const char text[] = "An APPLE, applied; bananas";
  Tessel::ScanOptions options;
  options.longest = true;
  options.words = true;
  options.ignoreCase = true;
  std::vector<std::size_t> at;
  expect(index.scan(text, sizeof text - 1, options,
                    [&](std::size_t position, std::size_t, Tessel::Index::Value) {
                      at.push_back(position);
                    })
                 .ok() &&
             at == std::vector<std::size_t>{3, 10},
         "scan");

  const std::uint32_t weights[] = {1, 5, 9, 3, 7};
  expect(index.saveWeights(weights, 5).ok(), "save weights");
  std::vector<std::string> heaviest;
  expect(index.top("app", 3, 2,
                   [&](const std::string& key, Tessel::Index::Value, std::uint32_t) {
                     heaviest.push_back(key);
                   })
                 .ok() &&
             heaviest == std::vector<std::string>{"apple", "app"},
         "top");

  Tessel::Index missing;
  expect(!missing.open((path + ".missing").c_str()).ok(), "a missing index fails by status");
  if (failures != 0) return 1;
  std::printf("ok\n");
  return 0;
}
