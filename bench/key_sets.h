#pragma once

// Deterministic, sorted key sets for tests and benchmarks; the same arguments give the same keys
// on every machine.
//   words  word-like keys
//   urls   URL-like keys with long shared prefixes (sorted-urls: made host by host, any count)
//   bytes  short keys of every byte value but NUL and newline
//   dups   word-like keys in runs of equal keys (the only set with repeated keys)
//   deep   long keys (up to a few thousand bytes) sharing long prefixes
//   binary long keys of two letters, a shape that leaves many free units no group can take

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace TesselBench {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

 private:
  std::uint64_t state_;
};

inline const char* const kOnsets[] = {"b",  "bl", "br", "c",  "ch", "cl", "cr", "d",  "dr", "f",
                                      "fl", "fr", "g",  "gr", "h",  "j",  "k",  "l",  "m",  "n",
                                      "p",  "pl", "pr", "r",  "s",  "sh", "sl", "sp", "st", "t",
                                      "th", "tr", "v",  "w",  "",   "",   "qu", "sc", "wh", "z"};
inline const char* const kVowels[] = {"a", "e", "i",  "o",  "u",  "a",  "e",
                                      "i", "o", "ea", "ee", "oo", "ou", "y"};
inline const char* const kCodas[] = {"",  "",  "",  "",   "n",  "r",  "l",
                                     "s", "t", "m", "nd", "st", "ng", "ck"};
inline const char* const kSuffixes[] = {"", "", "", "s", "ed", "er", "ing", "ly", "ness", "able"};
inline const char* const kTlds[] = {"com", "org", "net", "de", "io", "co.uk", "fr", "jp"};

template <std::size_t N>
const char* pick(Random& random, const char* const (&choices)[N]) {
  return choices[random.below(N)];
}

inline std::string word(Random& random, std::size_t syllables) {
  std::string w;
  for (std::size_t i = 0; i < syllables; ++i) {
    w += pick(random, kOnsets);
    w += pick(random, kVowels);
    w += pick(random, kCodas);
  }
  return w;
}

inline std::string wordLike(Random& random) {
  std::string w = word(random, 1 + random.below(4)) + pick(random, kSuffixes);
  if (random.below(20) == 0) w[0] = static_cast<char>(w[0] - 'a' + 'A');
  return w;
}

// Hosts are shared by many keys and paths by some, so keys share long prefixes.
class UrlMaker {
 public:
  UrlMaker(Random& random, std::size_t count) : hosts_(std::max<std::size_t>(1, count / 200)) {
    for (std::string& host : hosts_) {
      host = std::string(random.below(4) == 0 ? "https://" : "http://") +
             (random.below(2) ? "www." : "") + word(random, 1 + random.below(2)) + "." +
             pick(random, kTlds) + "/";
    }
  }
  std::string operator()(Random& random) const {
    std::string key = hosts_[random.below(hosts_.size())];
    const std::size_t segments = random.below(3) / 2 + random.below(2);
    for (std::size_t s = 0; s < segments; ++s) key += word(random, 1) + "/";
    if (random.below(4) == 0) key += "?id=" + std::to_string(random.below(100000));
    return key;
  }

 private:
  std::vector<std::string> hosts_;
};

inline std::string byteKey(Random& random) {
  std::string key;
  for (std::size_t n = 1 + random.below(12); n > 0; --n) {
    char c;
    do c = static_cast<char>(random.below(256));
    while (c == '\0' || c == '\n');
    key.push_back(c);
  }
  return key;
}

class DeepMaker {
 public:
  explicit DeepMaker(Random& random) {
    for (int i = 0; i < 6000; ++i) spine_.push_back(static_cast<char>('a' + random.below(3)));
  }
  std::string operator()(Random& random) const {
    std::string key = spine_.substr(0, random.below(spine_.size()));
    for (std::size_t n = random.below(40); n > 0; --n) {
      key.push_back(static_cast<char>('a' + random.below(26)));
    }
    return key;
  }

 private:
  std::string spine_;
};

inline std::string binaryKey(Random& random) {
  std::string key(1 + random.below(300), 'a');
  for (char& c : key) c = static_cast<char>('a' + random.below(2));
  return key;
}

// Draws keys until `count` distinct ones are found, then sorts them. std::string compares
// bytes as unsigned values, the order the builder requires.
template <class Maker>
std::vector<std::string> distinct(Random& random, std::size_t count, const Maker& make) {
  std::vector<std::string> keys;
  while (keys.size() < count) {
    // Sort only the keys drawn in this round, then merge them in.
    const std::size_t sorted = keys.size();
    for (std::size_t n = count - keys.size(); n > 0; --n) keys.push_back(make(random));
    std::sort(keys.begin() + static_cast<std::ptrdiff_t>(sorted), keys.end());
    std::inplace_merge(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(sorted),
                       keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  }
  return keys;
}

inline std::vector<std::string> duplicates(Random& random, std::size_t count) {
  std::vector<std::string> keys;
  while (keys.size() < count) {
    const std::string w = wordLike(random);
    keys.insert(keys.end(), std::min(count - keys.size(), 1 + random.below(8)), w);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// URL-like keys in byte order, as many as `count`, made host by host without holding more than
// one host's keys: sets past what memory can sort. Each host's keys all begin with the host,
// and no host begins another, so hosts in order give keys in order. write(key) takes each.
template <class Write>
void sortedUrls(std::size_t count, std::uint64_t seed, Write&& write) {
  Random random(seed);
  std::vector<std::string> hosts;
  for (std::size_t n = std::max<std::size_t>(1, count / 200); hosts.size() < n;) {
    for (std::size_t i = hosts.size(); i < n; ++i) {
      hosts.push_back(std::string(random.below(4) == 0 ? "https://" : "http://") +
                      (random.below(2) ? "www." : "") + word(random, 1 + random.below(3)) + "." +
                      pick(random, kTlds) + "/");
    }
    std::sort(hosts.begin(), hosts.end());
    hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  }
  std::vector<std::string> keys;
  for (std::size_t h = 0; h < hosts.size(); ++h) {
    const std::size_t wanted = count / hosts.size() + (h < count % hosts.size() ? 1 : 0);
    keys.clear();
    while (keys.size() < wanted) {
      for (std::size_t n = wanted - keys.size(); n > 0; --n) {
        std::string key = hosts[h];
        const std::size_t segments = random.below(3) / 2 + random.below(2);
        for (std::size_t s = 0; s < segments; ++s) key += word(random, 1) + "/";
        if (random.below(4) == 0) key += "?id=" + std::to_string(random.below(100000));
        keys.push_back(std::move(key));
      }
      std::sort(keys.begin(), keys.end());
      keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    }
    for (const std::string& key : keys) write(key);
  }
}

// `count` keys of `set` in byte order, distinct but for dups; empty for an unknown set.
inline std::vector<std::string> makeKeys(const std::string& set, std::size_t count,
                                         std::uint64_t seed) {
  Random random(seed);
  if (set == "words") return distinct(random, count, wordLike);
  if (set == "urls") return distinct(random, count, UrlMaker(random, count));
  if (set == "bytes") return distinct(random, count, byteKey);
  if (set == "dups") return duplicates(random, count);
  if (set == "deep") return distinct(random, count, DeepMaker(random));
  if (set == "binary") return distinct(random, count, binaryKey);
  return {};
}

}  // namespace TesselBench
