#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <tessel/format.h>
#include <tessel/index_view.h>
#include <tessel/internal/crc32c.h>
#include <tessel/internal/io.h>
#include <tessel/manifest.h>
#include <tessel/status.h>

namespace Tessel {

// A read-only view of a sharded index (the manifest's format is in tessel/manifest.h): the
// same calls as IndexView, over all shards as if they were one index, with 64-bit values.
// Queries go to their shard by its first key; each shard is mapped on its first use. The
// manifest is trusted in nothing it can be checked in: names, counts, sizes, order and each
// shard's root are checked at open(), and verify() checks every byte. A shard's file is opened
// at open(), so a rebuild that removes it afterwards leaves this view reading it.
// A const view may be used from several threads at once.
class ShardedIndex {
 public:
  using Value = std::int64_t;

  static constexpr int kOk = kIndexOk;
  static constexpr int kCannotOpen = kIndexCannotOpen;    // error() names the file
  static constexpr int kNotAnIndex = kIndexNotAnIndex;    // no manifest where one should be
  static constexpr int kCorrupt = kIndexCorrupt;          // a shard's bytes are not its index
  static constexpr int kBadManifest = kIndexBadManifest;  // error() says where and why

  ShardedIndex() = default;
  ~ShardedIndex() { close(); }
  ShardedIndex(const ShardedIndex&) = delete;
  ShardedIndex& operator=(const ShardedIndex&) = delete;

  // Opens the sharded index in the directory `path`, or whose manifest `path` is. Returns
  // kOk, kCannotOpen (errno tells why), kNotAnIndex (no manifest), kBadManifest or kCorrupt;
  // error() then names the file and what is wrong. Throws std::bad_alloc only.
  int open(const char* path) {
    close();
    struct stat st;
    if (::stat(path, &st) != 0) return failure(kCannotOpen, path);
    std::string directory = path;
    if (!S_ISDIR(st.st_mode)) {
      const std::size_t slash = directory.rfind('/');
      directory = slash == std::string::npos ? "." : directory.substr(0, slash + (slash == 0));
    }
    directory_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_ < 0) return failure(kCannotOpen, directory);
    const std::string manifestPath =
        S_ISDIR(st.st_mode) ? (directory + "/" + kManifestName) : std::string(path);
    std::string text;
    const int read = readManifest(manifestPath, S_ISDIR(st.st_mode), text);
    if (read != kOk) return read;
    const std::string why = parseManifest(text.data(), text.size(), manifest_);
    if (!why.empty()) return failure(kBadManifest, manifestPath + ": " + why);
    for (std::size_t i = 0; i < manifest_.shards.size(); ++i) {
      const int status = openShard(manifestPath, i);
      if (status != kOk) return status;
      keyCount_ += manifest_.shards[i].keys;
    }
    return kOk;
  }

  // What the last failed open() or verify() found: a file's name, and for a bad manifest its
  // line and why.
  const std::string& error() const { return error_; }

  // Closes every shard; the view is then empty. REQUIRES: no other thread is using it.
  void close() {
    for (const auto& shard : shards_) ::close(shard->fd);
    shards_.clear();
    manifest_ = Manifest();
    if (directory_ >= 0) ::close(directory_);
    directory_ = -1;
    keyCount_ = 0;
  }

  std::size_t shardCount() const { return shards_.size(); }
  const ShardEntry& shard(std::size_t i) const { return manifest_.shards[i]; }
  const std::string& generation() const { return manifest_.generation; }

  // Checks every shard's bytes against the manifest's checksum, mapping each. Returns kOk, or
  // kCorrupt with error() naming the first shard that differs.
  int verify() const {
    for (std::size_t i = 0; i < shards_.size(); ++i) {
      const IndexView& v = view(i);
      const std::uint32_t crc =
          internal::Crc32c::update(0, v.data(), v.size() * Format::kUnitBytes);
      if (v.size() * Format::kUnitBytes != manifest_.shards[i].bytes ||
          crc != manifest_.shards[i].crc32c) {
        error_ = manifest_.shards[i].file + ": checksum differs from the manifest's";
        return kCorrupt;
      }
    }
    return kOk;
  }

  // The number of distinct keys, as the manifest counts them.
  std::size_t keyCount() const { return keyCount_; }

  // Stores the value of key[0 .. length) in `value` and returns true when it is a key.
  bool find(const char* key, std::size_t length, Value& value) const {
    const std::size_t s = route(key, length);
    std::int32_t local;
    if (s == kNone || !view(s).find(key, length, local)) return false;
    value = manifest_.shards[s].base + static_cast<Value>(local);
    return true;
  }

  // find() for `count` keys at once: values[i] becomes the value of keys[i][0 .. lengths[i]),
  // or -1. The keys of each shard are looked up together, with walks in flight.
  void findMany(std::size_t count, const char* const* keys, const std::size_t* lengths,
                Value* values) const {
    std::vector<std::size_t> shardOf(count), order(count), starts(shards_.size() + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
      shardOf[i] = route(keys[i], lengths[i]);
      values[i] = -1;
      if (shardOf[i] != kNone) ++starts[shardOf[i] + 1];
    }
    for (std::size_t s = 0; s < shards_.size(); ++s) starts[s + 1] += starts[s];
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < count; ++i) {
      if (shardOf[i] != kNone) order[next[shardOf[i]]++] = i;
    }
    std::vector<const char*> pointers;
    std::vector<std::size_t> sizes;
    std::vector<std::int32_t> found;
    for (std::size_t s = 0; s < shards_.size(); ++s) {
      const std::size_t n = starts[s + 1] - starts[s];
      if (n == 0) continue;
      pointers.resize(n);
      sizes.resize(n);
      found.resize(n);
      for (std::size_t j = 0; j < n; ++j) {
        pointers[j] = keys[order[starts[s] + j]];
        sizes[j] = lengths[order[starts[s] + j]];
      }
      view(s).findMany(n, pointers.data(), sizes.data(), found.data());
      for (std::size_t j = 0; j < n; ++j) {
        if (found[j] >= 0) values[order[starts[s] + j]] = manifest_.shards[s].base + found[j];
      }
    }
  }

  // Calls onMatch(length, value) for every key that is a prefix of query[0 .. length),
  // shortest first, from whichever shards hold them. Returns the number of matches.
  template <class OnMatch>
  std::size_t commonPrefixes(const char* query, std::size_t length, OnMatch&& onMatch) const {
    // The shards that may hold a prefix of the query, found from the longest prefix down.
    std::size_t candidates[64] = {};
    std::vector<std::size_t> more;
    std::size_t count = 0;
    std::size_t reach = length;  // prefixes longer than this lie in shards already listed
    for (std::size_t s = lastFirstAtMost(query, length); s != kNone;) {
      if (count < 64) {
        candidates[count] = s;
      } else {
        more.push_back(s);
      }
      ++count;
      // The longest prefix below the shard's first key: the first key's common part with the
      // query, shortened when that is the whole first key.
      const std::string& first = manifest_.shards[s].first;
      if (first.empty()) break;
      std::size_t common = 0;
      const std::size_t limit = std::min(reach, first.size());
      while (common < limit && first[common] == query[common]) ++common;
      reach = std::min(common, first.size() - 1);
      s = lastFirstAtMost(query, reach);
    }
    std::size_t matches = 0;
    for (std::size_t k = count; k-- > 0;) {
      const std::size_t s = k < 64 ? candidates[k] : more[k - 64];
      const ShardEntry& entry = manifest_.shards[s];
      view(s).commonPrefixes(query, length, [&](std::size_t found, std::int32_t local) {
        // A damaged shard holds nothing outside its range.
        if (!within(entry, query, found)) return;
        onMatch(found, entry.base + static_cast<Value>(local));
        ++matches;
      });
    }
    return matches;
  }

  // commonPrefixes() for `count` queries: onMatch(query, length, value) in query order.
  template <class OnMatch>
  std::size_t commonPrefixesMany(std::size_t count, const char* const* queries,
                                 const std::size_t* lengths, OnMatch&& onMatch) const {
    std::size_t matches = 0;
    for (std::size_t q = 0; q < count; ++q) {
      matches += commonPrefixes(queries[q], lengths[q], [&](std::size_t length, Value value) {
        onMatch(q, length, value);
      });
    }
    return matches;
  }

  // Lists the keys below a prefix one at a time, in byte order, across shards, as
  // IndexView::Cursor does within one. One per thread.
  class Cursor {
   public:
    void reset(const ShardedIndex& index, const char* prefix, std::size_t length) {
      index_ = &index;
      prefix_.assign(prefix, length);
      corrupt_ = false;
      // Keys with the prefix are at least the prefix: the first shard that may hold one is
      // the first whose last key is not below it.
      const auto& shards = index.manifest_.shards;
      shard_ = static_cast<std::size_t>(
          std::lower_bound(shards.begin(), shards.end(), prefix_,
                           [](const ShardEntry& e, const std::string& p) { return e.last < p; }) -
          shards.begin());
      if (shard_ < shards.size()) inner_.reset(index.view(shard_), prefix, length);
    }

    bool next() {
      const auto& shards = index_ == nullptr ? noShards() : index_->manifest_.shards;
      while (shard_ < shards.size()) {
        if (inner_.next()) {
          const ShardEntry& entry = shards[shard_];
          const std::string& key = inner_.key();
          // A damaged shard's keys outside its range are not listed.
          if (key < entry.first || key > entry.last) continue;
          value_ = entry.base + static_cast<Value>(inner_.value());
          return true;
        }
        corrupt_ |= inner_.corrupt();
        // Later shards hold keys with the prefix only when their first key has it.
        if (++shard_ == shards.size() ||
            shards[shard_].first.compare(0, prefix_.size(), prefix_) != 0) {
          shard_ = shards.size();
          break;
        }
        inner_.reset(index_->view(shard_), prefix_.data(), prefix_.size());
      }
      return false;
    }

    const std::string& key() const { return inner_.key(); }
    Value value() const { return value_; }
    bool corrupt() const { return corrupt_; }

   private:
    static const std::vector<ShardEntry>& noShards() {
      static const std::vector<ShardEntry> none;
      return none;
    }

    const ShardedIndex* index_ = nullptr;
    std::string prefix_;
    std::size_t shard_ = 0;
    IndexView::Cursor inner_;
    Value value_ = -1;
    bool corrupt_ = false;
  };

  // Calls onKey(key, value) for the keys that begin with prefix[0 .. length), in byte order,
  // up to `limit`; onKey may return bool to stop. Returns the number of keys passed.
  template <class OnKey>
  std::size_t predict(const char* prefix, std::size_t length, OnKey&& onKey, Cursor& cursor,
                      std::size_t limit = std::numeric_limits<std::size_t>::max()) const {
    return internal::listBelow(*this, prefix, length, onKey, cursor, limit);
  }
  template <class OnKey>
  std::size_t predict(const char* prefix, std::size_t length, OnKey&& onKey) const {
    Cursor cursor;
    return predict(prefix, length, onKey, cursor);
  }

  // Calls onKey(key, value) for every key, in byte order; onKey may return bool to stop.
  // Returns kOk, or kCorrupt when a shard's units are no tree, or its keys leave its range or
  // come out of order.
  template <class OnKey>
  int forEach(OnKey&& onKey) const {
    std::string previous;
    bool any = false;
    for (std::size_t s = 0; s < shards_.size(); ++s) {
      const ShardEntry& entry = manifest_.shards[s];
      bool stopped = false, outOfOrder = false;
      const int status = view(s).forEach([&](const std::string& key, std::int32_t local) {
        if ((any && key <= previous) || key < entry.first || key > entry.last) {
          outOfOrder = true;
          return false;
        }
        previous = key;
        any = true;
        stopped = !internal::goOn(onKey, key, entry.base + static_cast<Value>(local));
        return !stopped;
      });
      if (status != kOk || outOfOrder) {
        error_ = entry.file + ": its keys are not those of its range";
        return kCorrupt;
      }
      if (stopped) break;
    }
    return kOk;
  }

  // Value -> key: the key whose value is `value` (the first in byte order when several share
  // it); false when no key has it.
  bool restoreKey(Value value, std::string& key) const {
    key.clear();
    const auto& shards = manifest_.shards;
    auto it = std::upper_bound(
        shards.begin(), shards.end(), value,
        [](Value v, const ShardEntry& e) { return static_cast<std::uint64_t>(v) < e.base; });
    if (value < 0 || it == shards.begin()) return false;
    --it;
    const std::uint64_t local = static_cast<std::uint64_t>(value) - it->base;
    if (local >= it->lines) return false;
    return view(static_cast<std::size_t>(it - shards.begin()))
        .restoreKey(static_cast<std::int32_t>(local), key);
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};
  // A manifest larger than this is not one.
  static constexpr std::size_t kLargestManifest = std::size_t{1} << 30;

  struct Shard {
    int fd = -1;
    std::once_flag mapOnce;
    IndexView view;
  };

  int failure(int status, const std::string& name) {
    const int saved = errno;
    error_ = name;
    close();
    errno = saved;
    return status;
  }

  int readManifest(const std::string& path, bool inDirectory, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      // A directory without a manifest is no sharded index.
      return failure(inDirectory && errno == ENOENT ? kNotAnIndex : kCannotOpen, path);
    }
    struct stat st;
    int status = kOk;
    if (::fstat(fd, &st) != 0) {
      status = kCannotOpen;
    } else if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > kLargestManifest) {
      status = kNotAnIndex;
    } else {
      text.resize(static_cast<std::size_t>(st.st_size));
      std::size_t got = 0;
      while (got < text.size()) {
        const ssize_t n = internal::readSome(fd, &text[got], text.size() - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      if (got != text.size()) status = kCannotOpen;
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return status == kOk ? kOk : failure(status, path);
  }

  // Opens shard i's file, inside the directory only, and checks its type, size and root.
  int openShard(const std::string& manifestPath, std::size_t i) {
    const ShardEntry& entry = manifest_.shards[i];
    // No link is followed: a shard is a file of the directory itself.
    const int fd = ::openat(directory_, entry.file.c_str(),
                            O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return failure(kCannotOpen, manifestPath + ": " + entry.file);
    shards_.push_back(std::make_unique<Shard>());
    shards_.back()->fd = fd;
    struct stat st;
    unsigned char root[Format::kUnitBytes];
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) != entry.bytes) {
      return failure(kBadManifest, manifestPath + ": " + entry.file +
                                       " is not a file of the size the manifest gives");
    }
    if (::pread(fd, root, sizeof root, 0) != static_cast<ssize_t>(sizeof root) ||
        Format::baseAt(root, 0) != Format::kRootBase || Format::checkAt(root, 0) != 0) {
      return failure(kCorrupt, manifestPath + ": " + entry.file + " is not an index");
    }
    return kOk;
  }

  // Shard i's view, mapped on first use; empty when its file no longer maps as an index.
  const IndexView& view(std::size_t i) const {
    Shard& shard = *shards_[i];
    std::call_once(shard.mapOnce, [&shard] {
      if (shard.view.openDescriptor(shard.fd) != kOk && errno == ENOMEM) throw std::bad_alloc();
    });
    return shard.view;
  }

  // Compares bytes as unsigned values, a prefix before its extensions.
  static int compare(const char* a, std::size_t an, const std::string& b) {
    const int c = std::memcmp(a, b.data(), std::min(an, b.size()));
    if (c != 0) return c;
    return an < b.size() ? -1 : an > b.size() ? 1 : 0;
  }

  // The last shard whose first key is at most key[0 .. length), or kNone.
  std::size_t lastFirstAtMost(const char* key, std::size_t length) const {
    const auto& shards = manifest_.shards;
    std::size_t low = 0, high = shards.size();  // the answer is below high
    while (low < high) {
      const std::size_t middle = (low + high) / 2;
      if (compare(key, length, shards[middle].first) >= 0) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    return low == 0 ? kNone : low - 1;
  }

  // The shard whose range holds key[0 .. length), or kNone.
  std::size_t route(const char* key, std::size_t length) const {
    const std::size_t s = lastFirstAtMost(key, length);
    if (s == kNone || compare(key, length, manifest_.shards[s].last) > 0) return kNone;
    return s;
  }

  static bool within(const ShardEntry& entry, const char* key, std::size_t length) {
    return compare(key, length, entry.first) >= 0 && compare(key, length, entry.last) <= 0;
  }

  Manifest manifest_;
  std::vector<std::unique_ptr<Shard>> shards_;
  int directory_ = -1;
  std::size_t keyCount_ = 0;
  mutable std::string error_;
};

}  // namespace Tessel
