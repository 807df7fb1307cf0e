// keygen: writes a deterministic, sorted key list to standard output.
// Usage: keygen SET COUNT [SEED]
//   words  word-like keys
//   urls   URL-like keys with long shared prefixes
//   bytes  short keys of every byte value but NUL and newline
//   dups   word-like keys in runs of equal keys (the only set with repeated keys)
//   deep   long keys (up to a few thousand bytes) sharing long prefixes
// COUNT keys in all, distinct but for dups.
// The same arguments give the same bytes on every machine.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

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

const char* const kOnsets[] = {"b",  "bl", "br", "c",  "ch", "cl", "cr", "d",  "dr", "f",
                               "fl", "fr", "g",  "gr", "h",  "j",  "k",  "l",  "m",  "n",
                               "p",  "pl", "pr", "r",  "s",  "sh", "sl", "sp", "st", "t",
                               "th", "tr", "v",  "w",  "",   "",   "qu", "sc", "wh", "z"};
const char* const kVowels[] = {"a", "e", "i",  "o",  "u",  "a",  "e",
                               "i", "o", "ea", "ee", "oo", "ou", "y"};
const char* const kCodas[] = {"", "", "", "", "n", "r", "l", "s", "t", "m", "nd", "st", "ng", "ck"};
const char* const kSuffixes[] = {"", "", "", "s", "ed", "er", "ing", "ly", "ness", "able"};
const char* const kTlds[] = {"com", "org", "net", "de", "io", "co.uk", "fr", "jp"};

template <std::size_t N>
const char* pick(Random& random, const char* const (&choices)[N]) {
  return choices[random.below(N)];
}

std::string word(Random& random, std::size_t syllables) {
  std::string w;
  for (std::size_t i = 0; i < syllables; ++i) {
    w += pick(random, kOnsets);
    w += pick(random, kVowels);
    w += pick(random, kCodas);
  }
  return w;
}

std::string wordLike(Random& random) {
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

std::string byteKey(Random& random) {
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

// Draws keys until `count` distinct ones are found, then sorts them. std::string compares
// bytes as unsigned values, the order the builder requires.
template <class Maker>
std::vector<std::string> distinct(Random& random, std::size_t count, const Maker& make) {
  std::vector<std::string> keys;
  while (keys.size() < count) {
    for (std::size_t n = count - keys.size(); n > 0; --n) keys.push_back(make(random));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  }
  return keys;
}

std::vector<std::string> duplicates(Random& random, std::size_t count) {
  std::vector<std::string> keys;
  while (keys.size() < count) {
    const std::string w = wordLike(random);
    keys.insert(keys.end(), std::min(count - keys.size(), 1 + random.below(8)), w);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

bool writeKeys(const std::vector<std::string>& keys) {
  std::string out;
  for (const std::string& key : keys) {
    out += key;
    out += '\n';
    if (out.size() > (1u << 20)) {
      if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) return false;
      out.clear();
    }
  }
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "Usage: %s words|urls|bytes|dups|deep COUNT [SEED]\n", argv[0]);
    return 2;
  }
  const std::string set = argv[1];
  const std::size_t count = std::strtoull(argv[2], nullptr, 10);
  Random random(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1);
  std::vector<std::string> keys;
  if (set == "words") {
    keys = distinct(random, count, wordLike);
  } else if (set == "urls") {
    keys = distinct(random, count, UrlMaker(random, count));
  } else if (set == "bytes") {
    keys = distinct(random, count, byteKey);
  } else if (set == "dups") {
    keys = duplicates(random, count);
  } else if (set == "deep") {
    keys = distinct(random, count, DeepMaker(random));
  } else {
    std::fprintf(stderr, "keygen: unknown set %s\n", set.c_str());
    return 2;
  }
  return writeKeys(keys) ? 0 : 1;
}
