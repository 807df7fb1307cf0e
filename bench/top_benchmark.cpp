// Ranked completion against listing: for each 1- and 2-byte prefix of an index's keys, the 10
// heaviest keys below it by Index::top, and by listing every key below it with predict() and
// keeping the 10 heaviest (their weights read from the weights file by value). Prints the
// median time of each and the median ratio.
//
// Usage: tessel-top-benchmark INDEX WEIGHTS [N]
//   INDEX has its companion (tessel-weights WEIGHTS INDEX); WEIGHTS is one weight a line.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <queue>
#include <string>
#include <tuple>
#include <vector>

#include <tessel/index.h>

namespace {

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    (void)std::fprintf(stderr, "Usage: tessel-top-benchmark INDEX WEIGHTS [N]\n");
    return 2;
  }
  const std::size_t n = argc > 3 ? std::stoul(argv[3]) : 10;
  Tessel::Index index;
  Tessel::Status status = index.open(argv[1]);
  if (!status.ok()) {
    (void)std::fprintf(stderr, "%s\n", status.toString().c_str());
    return 2;
  }
  std::vector<std::uint32_t> weights;
  {
    std::ifstream in(argv[2]);
    for (std::uint64_t w; in >> w;) weights.push_back(static_cast<std::uint32_t>(w));
  }
  // The prefixes: every first byte and first two bytes of a key.
  std::vector<std::string> prefixes;
  status = index.forEach([&](const std::string& key, Tessel::Index::Value) {
    for (std::size_t length = 1; length <= 2 && length <= key.size(); ++length) {
      const std::string prefix = key.substr(0, length);
      if (prefixes.empty() || prefixes.back() != prefix) {
        const auto recent = static_cast<std::ptrdiff_t>(std::min<std::size_t>(prefixes.size(), 2));
        if (std::find(prefixes.end() - recent, prefixes.end(), prefix) == prefixes.end()) {
          prefixes.push_back(prefix);
        }
      }
    }
  });
  std::sort(prefixes.begin(), prefixes.end());
  prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
  // A first call reads the companion.
  (void)index.top("", 0, 1, [](const std::string&, Tessel::Index::Value, std::uint32_t) {});
  std::vector<double> ranked, listed, ratios, largeRatios;  // large: 1,000 keys or more
  Tessel::Index::Cursor cursor;
  std::size_t disagreements = 0;
  for (const std::string& prefix : prefixes) {
    std::vector<std::tuple<std::uint32_t, std::string>> fromTop;
    auto start = std::chrono::steady_clock::now();
    status = index.top(prefix.data(), prefix.size(), n,
                       [&](const std::string& key, Tessel::Index::Value, std::uint32_t weight) {
                         fromTop.emplace_back(weight, key);
                       });
    const double a = seconds(std::chrono::steady_clock::now() - start);
    if (!status.ok()) {
      (void)std::fprintf(stderr, "%s\n", status.toString().c_str());
      return 2;
    }
    // Listing: a heap of the n heaviest, of equal weights the first in byte order.
    using Entry = std::tuple<std::uint32_t, std::string>;
    auto lighter = [](const Entry& x, const Entry& y) {
      return std::get<0>(x) != std::get<0>(y) ? std::get<0>(x) > std::get<0>(y)
                                              : std::get<1>(x) < std::get<1>(y);
    };
    std::priority_queue<Entry, std::vector<Entry>, decltype(lighter)> heap(lighter);
    std::size_t below = 0;
    start = std::chrono::steady_clock::now();
    status = index.predict(
        prefix.data(), prefix.size(),
        [&](const std::string& key, Tessel::Index::Value value) {
          ++below;
          const std::uint32_t w =
              static_cast<std::size_t>(value) < weights.size() ? weights[value] : 0;
          if (heap.size() < n) {
            heap.emplace(w, key);
          } else if (w > std::get<0>(heap.top())) {
            heap.pop();
            heap.emplace(w, key);
          }
        },
        cursor);
    const double b = seconds(std::chrono::steady_clock::now() - start);
    std::vector<Entry> fromList;
    for (; !heap.empty(); heap.pop()) fromList.push_back(heap.top());
    std::reverse(fromList.begin(), fromList.end());
    std::vector<std::uint32_t> x, y;
    for (const auto& e : fromTop) x.push_back(std::get<0>(e));
    for (const auto& e : fromList) y.push_back(std::get<0>(e));
    disagreements += x != y;
    ranked.push_back(a);
    listed.push_back(b);
    ratios.push_back(b / std::max(a, 1e-9));
    if (below >= 1000) largeRatios.push_back(ratios.back());
  }
  (void)std::printf(
      "%zu prefixes of 1 and 2 bytes, top %zu: median %.1f us by top(), %.1f us by listing "
      "and keeping the heaviest; median ratio %.1fx (%.0fx over the %zu prefixes with 1,000 "
      "keys or more); %zu prefixes whose weights differ\n",
      prefixes.size(), n, median(ranked) * 1e6, median(listed) * 1e6, median(ratios),
      median(largeRatios), largeRatios.size(), disagreements);
  return disagreements == 0 ? 0 : 1;
}
