#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <tessel/format.h>
#include <tessel/index_view.h>
#include <tessel/internal/crc32c.h>
#include <tessel/manifest.h>
#include <tessel/status.h>

namespace Tessel {

// A read-only view of a sharded index (the manifest's format is in tessel/manifest.h): the
// same calls as IndexView, over all shards as if they were one index, with 64-bit values.
// Queries go to their shard by its first key. The manifest is trusted in nothing it can be
// checked in: names, counts, sizes and order are checked at open(), and verify() checks every
// byte and every number.
//
// Shards are mapped on first use, and at most kMostMapped at once (the least used goes).
// An index of at most a quarter of the process's file limit in shards holds each shard's file
// open from open() on, so that a rebuild that removes them afterwards leaves this view
// reading its generation; a larger one opens each file when it maps it. A shard that cannot
// be read then (removed, changed) answers nothing, and readFailure() tells which.
// A const view may be used from several threads at once.
class ShardedIndex {
 public:
  using Value = std::int64_t;

  static constexpr int kOk = kIndexOk;
  static constexpr int kCannotOpen = kIndexCannotOpen;    // error() names the file
  static constexpr int kNotAnIndex = kIndexNotAnIndex;    // no manifest where one should be
  static constexpr int kCorrupt = kIndexCorrupt;          // a shard's bytes are not its index
  static constexpr int kBadManifest = kIndexBadManifest;  // error() says where and why

  // Shards mapped at once, at most.
  static constexpr std::size_t kMostMapped = 1024;

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
    const bool inDirectory = S_ISDIR(st.st_mode);
    directoryName_ = path;
    if (!inDirectory) {
      const std::size_t slash = directoryName_.rfind('/');
      directoryName_ =
          slash == std::string::npos ? "." : directoryName_.substr(0, slash + (slash == 0));
    }
    directory_ = ::open(directoryName_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_ < 0) return failure(kCannotOpen, directoryName_);
    if (directoryName_.back() != '/') directoryName_ += '/';
    manifestName_ = inDirectory ? directoryName_ + kManifestName : std::string(path);
    // The manifest is a file of its directory: a link is not followed.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    const int fd = inDirectory ? ::openat(directory_, kManifestName, flags) : ::open(path, flags);
    if (fd < 0) {
      if (errno == ELOOP) return failure(kBadManifest, manifestName_ + ": a link, not a file");
      // A directory without a manifest is no sharded index.
      return failure(inDirectory && errno == ENOENT ? kNotAnIndex : kCannotOpen, manifestName_);
    }
    std::string why;
    int status = ::fstat(fd, &st) != 0 ? kCannotOpen : S_ISREG(st.st_mode) ? kOk : kNotAnIndex;
    if (status == kOk) status = readManifest(fd, manifest_, why);
    const int error = errno;
    ::close(fd);
    errno = error;
    if (status == kBadManifest) return failure(status, manifestName_ + ": " + why);
    if (status != kOk) return failure(status, manifestName_);
    shards_.reset(new Shard[manifest_.shards.size()]);
    count_ = manifest_.shards.size();
    const bool holdFiles = count_ <= filesToHold();
    evicting_ = count_ > kMostMapped;
    for (std::size_t i = 0; i < count_; ++i) {
      status = checkShard(i, holdFiles);
      if (status != kOk) return status;
      const ShardEntry& entry = manifest_.shards[i];
      keyCount_ += entry.keys;
      // The bytes a shard's keys may begin with lie between its first key's and its last's.
      const unsigned low = entry.first.empty() ? 0 : static_cast<unsigned char>(entry.first[0]);
      for (unsigned c = low; c <= static_cast<unsigned char>(entry.last[0]); ++c) {
        firstBytes_.add(static_cast<unsigned char>(c));
      }
    }
    return kOk;
  }

  // What the last failure of open(), verify() or forEach() found, or of reading a shard: a
  // file's name, and for a bad manifest its line and why.
  std::string error() const {
    std::lock_guard<std::mutex> hold(errorLock_);
    return error_;
  }

  // Whether every shard that queries needed could be read since open(): kOk, or the status of
  // the first that could not (kCannotOpen: removed or unreadable, kCorrupt: changed), with
  // `why` naming its file. Queries that needed it answered as if it held no key.
  int readFailure(std::string* why = nullptr) const {
    std::lock_guard<std::mutex> hold(errorLock_);
    if (why != nullptr) *why = readError_;
    return readStatus_;
  }

  // Closes every shard; the view is then empty. REQUIRES: no other thread is using it.
  void close() {
    for (std::size_t i = 0; i < count_; ++i) {
      if (shards_[i].fd >= 0) ::close(shards_[i].fd);
    }
    shards_.reset();
    count_ = 0;
    mapped_.clear();
    manifest_ = Manifest();
    firstBytes_ = internal::ByteSet();
    if (directory_ >= 0) ::close(directory_);
    directory_ = -1;
    keyCount_ = 0;
    readStatus_ = kOk;
    readError_.clear();
  }

  std::size_t shardCount() const { return count_; }
  const ShardEntry& shard(std::size_t i) const { return manifest_.shards[i]; }
  const std::string& generation() const { return manifest_.generation; }

  // Checks the whole index: the manifest's numbers with each other (each base the lines
  // before it), each shard's size and checksum against the manifest, its units a tree, its
  // keys in order inside its range from its first key to its last, their number the
  // manifest's and their values below its lines. Returns kOk, kCorrupt (a shard's bytes) or
  // kBadManifest (numbers that are not the shards'), with error() telling the first fault.
  int verify() const {
    const std::string why = checkBases(manifest_);
    if (!why.empty()) return recordError(kBadManifest, manifestName_ + ": " + why);
    for (std::size_t i = 0; i < count_; ++i) {
      const ShardEntry& entry = manifest_.shards[i];
      const Pin v = view(i);
      int status = readFailure();
      if (status != kOk) return recordError(status, readErrorText());
      const std::uint32_t crc = internal::Crc32c::update(0, v->data(), v->size() * kUnitBytes);
      if (v->size() * kUnitBytes != entry.bytes || crc != entry.crc32c) {
        return recordError(kCorrupt, path(i) + ": checksum differs from the manifest's");
      }
      std::uint64_t keys = 0, values = 0;
      std::string previous;
      bool inRange = true;
      status = v->forEach([&](const std::string& key, std::int32_t value) {
        inRange = (keys == 0 ? key == entry.first : key > previous) && key <= entry.last;
        previous = key;
        ++keys;
        values = std::max<std::uint64_t>(values, static_cast<std::uint64_t>(value) + 1);
        return inRange;
      });
      if (status != kOk || !inRange || previous != entry.last) {
        return recordError(kCorrupt, path(i) + ": its keys are not those of its range");
      }
      if (keys != entry.keys || values > entry.lines) {
        return recordError(kBadManifest, manifestName_ + ": line " + std::to_string(i + 3) +
                                             ": the shard holds " + std::to_string(keys) +
                                             " keys with values below " + std::to_string(values) +
                                             ", not keys=" + std::to_string(entry.keys) +
                                             " below lines=" + std::to_string(entry.lines));
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
    if (s == kNone || !view(s)->find(key, length, local)) return false;
    value = manifest_.shards[s].base + static_cast<Value>(local);
    return true;
  }

  // find() for `count` keys at once: values[i] becomes the value of keys[i][0 .. lengths[i]),
  // or -1. The keys of each shard are looked up together, with walks in flight.
  void findMany(std::size_t count, const char* const* keys, const std::size_t* lengths,
                Value* values) const {
    std::vector<std::size_t> shardOf(count), order(count), starts(count_ + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
      shardOf[i] = route(keys[i], lengths[i]);
      values[i] = -1;
      if (shardOf[i] != kNone) ++starts[shardOf[i] + 1];
    }
    for (std::size_t s = 0; s < count_; ++s) starts[s + 1] += starts[s];
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < count; ++i) {
      if (shardOf[i] != kNone) order[next[shardOf[i]]++] = i;
    }
    std::vector<const char*> pointers;
    std::vector<std::size_t> sizes;
    std::vector<std::int32_t> found;
    for (std::size_t s = 0; s < count_; ++s) {
      const std::size_t n = starts[s + 1] - starts[s];
      if (n == 0) continue;
      pointers.resize(n);
      sizes.resize(n);
      found.resize(n);
      for (std::size_t j = 0; j < n; ++j) {
        pointers[j] = keys[order[starts[s] + j]];
        sizes[j] = lengths[order[starts[s] + j]];
      }
      view(s)->findMany(n, pointers.data(), sizes.data(), found.data());
      for (std::size_t j = 0; j < n; ++j) {
        if (found[j] >= 0) values[order[starts[s] + j]] = manifest_.shards[s].base + found[j];
      }
    }
  }

  // Calls onMatch(length, value) for every key that is a prefix of query[0 .. length),
  // shortest first, from whichever shards hold them. Returns the number of matches.
  template <class OnMatch>
  std::size_t commonPrefixes(const char* query, std::size_t length, OnMatch&& onMatch) const {
    std::size_t candidates[64];
    std::vector<std::size_t> more;
    const std::size_t count = prefixShards(query, length, candidates, more);
    std::size_t matches = 0;
    for (std::size_t k = count; k-- > 0;) {
      const std::size_t s = k < 64 ? candidates[k] : more[k - 64];
      const ShardEntry& entry = manifest_.shards[s];
      view(s)->commonPrefixes(query, length, [&](std::size_t found, std::int32_t local) {
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

 private:
  // A mapped shard, kept mapped for as long as someone reads it.
  class Pin {
   public:
    Pin(const IndexView* view, std::shared_ptr<const IndexView> held)
        : view_(view), held_(std::move(held)) {}
    const IndexView& operator*() const { return *view_; }
    const IndexView* operator->() const { return view_; }

   private:
    const IndexView* view_;
    std::shared_ptr<const IndexView> held_;  // only where shards may be unmapped
  };

 public:
  // Lists the keys below a prefix one at a time, in byte order, across shards, as
  // IndexView::Cursor does within one. One per thread.
  class Cursor {
   public:
    void reset(const ShardedIndex& index, const char* prefix, std::size_t length,
               bool descending = false) {
      index_ = &index;
      prefix_.assign(prefix, length);
      corrupt_ = false;
      descending_ = descending;
      const auto& shards = index.manifest_.shards;
      if (!descending) {
        // Keys with the prefix are at least the prefix: the first shard that may hold one is
        // the first whose last key is not below it.
        shard_ = static_cast<std::size_t>(
            std::lower_bound(shards.begin(), shards.end(), prefix_,
                             [](const ShardEntry& e, const std::string& p) { return e.last < p; }) -
            shards.begin());
      } else {
        // The last shard whose first key is below the prefix or has it.
        shard_ = static_cast<std::size_t>(
            std::partition_point(shards.begin(), shards.end(),
                                 [&](const ShardEntry& e) {
                                   return e.first < prefix_ ||
                                          e.first.compare(0, prefix_.size(), prefix_) == 0;
                                 }) -
            shards.begin());
        shard_ = shard_ == 0 ? shards.size() : shard_ - 1;
      }
      if (shard_ < shards.size()) enter();
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
        if (!nextShard(shards)) {
          shard_ = shards.size();
          break;
        }
        enter();
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

    // Moves to the next shard that may hold keys with the prefix; false when none does.
    bool nextShard(const std::vector<ShardEntry>& shards) {
      if (!descending_) {
        // Later shards hold keys with the prefix only when their first key has it.
        return ++shard_ < shards.size() &&
               shards[shard_].first.compare(0, prefix_.size(), prefix_) == 0;
      }
      // Earlier ones, only when their last key has it.
      return shard_-- > 0 && shards[shard_].last.compare(0, prefix_.size(), prefix_) == 0;
    }

    void enter() {
      pin_ = index_->view(shard_);
      inner_.reset(*pin_, prefix_.data(), prefix_.size(), descending_);
    }

    const ShardedIndex* index_ = nullptr;
    std::string prefix_;
    std::size_t shard_ = 0;
    Pin pin_{nullptr, nullptr};
    IndexView::Cursor inner_;
    Value value_ = -1;
    bool corrupt_ = false;
    bool descending_ = false;
  };

  // Finds the keys that occur in a text, as IndexView::Scanner does over one index: each
  // position's keys come from whichever shards hold them, walked a block of positions at a
  // time per shard. One per thread.
  class Scanner {
   public:
    void reset(const ShardedIndex& index, const char* text, std::size_t length,
               const ScanOptions& options = ScanOptions()) {
      index_ = &index;
      scan_.reset(text, length, options, index.firstBytes_);
    }

    bool next() {
      if (index_ == nullptr) return false;
      return scan_.next([this](const std::size_t* positions, std::size_t count,
                               std::vector<internal::ScanMatch>& out) {
        index_->findBlock(*this, positions, count, out);
      });
    }

    std::size_t position() const { return scan_.match().position; }
    std::size_t length() const { return scan_.match().length; }
    Value value() const { return static_cast<Value>(scan_.match().value); }

   private:
    friend class ShardedIndex;

    const ShardedIndex* index_ = nullptr;
    internal::TextScan scan_;
    internal::ScanWalks walks_;
    std::vector<std::pair<std::size_t, std::size_t>> routed_;  // (shard, i of the block)
    std::vector<std::size_t> positions_;                       // a shard's positions
    std::vector<std::size_t> slots_;                           // and their i
    std::vector<internal::ScanMatch> found_;
  };

  // Calls onMatch(position, length, value) for each match of text[0 .. length), as
  // IndexView::scan() does; onMatch may return bool to stop. Returns the number of matches.
  template <class OnMatch>
  std::size_t scan(const char* text, std::size_t length, const ScanOptions& options,
                   OnMatch&& onMatch) const {
    Scanner scanner;
    return internal::scanAll(scanner, *this, text, length, options, onMatch);
  }
  template <class OnMatch>
  std::size_t scan(const char* text, std::size_t length, OnMatch&& onMatch) const {
    return scan(text, length, ScanOptions(), onMatch);
  }

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
  // come out of order; error() then names it.
  template <class OnKey>
  int forEach(OnKey&& onKey) const {
    std::string previous;
    bool any = false;
    for (std::size_t s = 0; s < count_; ++s) {
      const ShardEntry& entry = manifest_.shards[s];
      bool stopped = false, outOfOrder = false;
      const int status = view(s)->forEach([&](const std::string& key, std::int32_t local) {
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
        return recordError(kCorrupt, path(s) + ": its keys are not those of its range");
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
        ->restoreKey(static_cast<std::int32_t>(local), key);
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};
  static constexpr std::size_t kUnitBytes = Format::kUnitBytes;
  static constexpr std::size_t kLocks = 64;

  struct Shard {
    int fd = -1;                            // held from open(), or -1
    std::atomic<const IndexView*> view{};   // mapped, when it stays mapped till close()
    std::shared_ptr<const IndexView> held;  // mapped, when it may be unmapped before
    std::atomic<std::uint64_t> used{0};     // when it was last pinned, where that matters
  };

  // Files a view may hold open from open(): a quarter of the process's limit.
  static std::size_t filesToHold() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
    return static_cast<std::size_t>(limit.rlim_cur / 4);
  }

  std::string path(std::size_t i) const { return directoryName_ + manifest_.shards[i].file; }

  int failure(int status, const std::string& name) {
    const int saved = errno;
    close();
    {
      std::lock_guard<std::mutex> hold(errorLock_);
      error_ = name;
    }
    errno = saved;
    return status;
  }

  int recordError(int status, const std::string& text) const {
    std::lock_guard<std::mutex> hold(errorLock_);
    error_ = text;
    return status;
  }

  std::string readErrorText() const {
    std::string why;
    readFailure(&why);
    return why;
  }

  // Checks shard i's file (inside the directory only: no link is followed) against its entry,
  // and holds it open when asked.
  int checkShard(std::size_t i, bool hold) {
    const ShardEntry& entry = manifest_.shards[i];
    const std::string line = manifestName_ + ": line " + std::to_string(i + 3) + ": " + entry.file;
    struct stat st;
    if (::fstatat(directory_, entry.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return failure(kCannotOpen, path(i));
    }
    if (S_ISLNK(st.st_mode))
      return failure(kBadManifest, line + " is a link: outside its directory");
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != entry.bytes) {
      return failure(kBadManifest, line + " is not a file of the size the manifest gives");
    }
    if (!hold) return kOk;
    const int fd = openShard(i);
    if (fd < 0) return failure(kCannotOpen, path(i));
    shards_[i].fd = fd;
    if (!rootOf(fd)) return failure(kCorrupt, path(i) + ": not an index");
    return kOk;
  }

  int openShard(std::size_t i) const {
    return ::openat(directory_, manifest_.shards[i].file.c_str(),
                    O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  }

  static bool rootOf(int fd) {
    unsigned char root[kUnitBytes];
    return ::pread(fd, root, sizeof root, 0) == static_cast<ssize_t>(sizeof root) &&
           Format::baseAt(root, 0) == Format::kRootBase && Format::checkAt(root, 0) == 0;
  }

  // Shard i's view, mapped on first use; an empty view, with readFailure() set, when its file
  // cannot be read as the index the manifest gives.
  Pin view(std::size_t i) const {
    Shard& shard = shards_[i];
    if (!evicting_) {
      if (const IndexView* mapped = shard.view.load(std::memory_order_acquire)) {
        return Pin(mapped, nullptr);
      }
    } else {
      std::lock_guard<std::mutex> hold(locks_[i % kLocks]);
      if (shard.held) {
        shard.used.store(clock_.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
        return Pin(shard.held.get(), shard.held);
      }
    }
    std::lock_guard<std::mutex> mapping(mapping_);
    if (!evicting_) {
      if (const IndexView* mapped = shard.view.load(std::memory_order_acquire)) {
        return Pin(mapped, nullptr);
      }
    } else {
      std::lock_guard<std::mutex> hold(locks_[i % kLocks]);
      if (shard.held) return Pin(shard.held.get(), shard.held);
    }
    auto mapped = std::make_shared<IndexView>();
    const int status = map(i, *mapped);
    if (status != kOk) {
      static const IndexView kEmpty;
      return Pin(&kEmpty, nullptr);
    }
    if (!evicting_) {
      // Kept till close(): the shared pointer in `held` owns it, `view` is read without a lock.
      shard.held = mapped;
      shard.view.store(mapped.get(), std::memory_order_release);
      return Pin(mapped.get(), nullptr);
    }
    if (mapped_.size() >= kMostMapped) evictOne();
    {
      std::lock_guard<std::mutex> hold(locks_[i % kLocks]);
      shard.held = mapped;
      shard.used.store(clock_.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
    }
    mapped_.push_back(i);
    return Pin(mapped.get(), mapped);
  }

  // Maps shard i and checks it is the file the manifest gives. REQUIRES: mapping_ held.
  int map(std::size_t i, IndexView& into) const {
    const int held = shards_[i].fd;
    const int fd = held >= 0 ? held : openShard(i);
    int status = fd < 0 ? kCannotOpen : into.openDescriptor(fd);
    if (status == kCannotOpen && errno == ENOMEM) {
      if (held < 0 && fd >= 0) ::close(fd);
      throw std::bad_alloc();
    }
    if (status == kOk && into.size() * kUnitBytes != manifest_.shards[i].bytes) status = kCorrupt;
    if (status == kNotAnIndex) status = kCorrupt;
    if (held < 0 && fd >= 0) ::close(fd);
    if (status == kOk) return kOk;
    std::lock_guard<std::mutex> hold(errorLock_);
    if (readStatus_ == kOk) {
      readStatus_ = status;
      readError_ = path(i) + (status == kCorrupt ? ": not the shard the manifest gives" : "");
    }
    return status;
  }

  // Unmaps the shard pinned least lately; those still pinned stay mapped until unpinned.
  // REQUIRES: mapping_ held.
  void evictOne() const {
    std::size_t oldest = 0;
    for (std::size_t k = 1; k < mapped_.size(); ++k) {
      if (shards_[mapped_[k]].used.load(std::memory_order_relaxed) <
          shards_[mapped_[oldest]].used.load(std::memory_order_relaxed)) {
        oldest = k;
      }
    }
    const std::size_t victim = mapped_[oldest];
    mapped_[oldest] = mapped_.back();
    mapped_.pop_back();
    std::lock_guard<std::mutex> hold(locks_[victim % kLocks]);
    shards_[victim].held.reset();
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

  // The shards that may hold a prefix of query[0 .. length), found from the longest prefix
  // down: the first 64 in `first`, the rest in `more`. Returns their number.
  std::size_t prefixShards(const char* query, std::size_t length, std::size_t (&first)[64],
                           std::vector<std::size_t>& more) const {
    std::size_t count = 0;
    std::size_t reach = length;  // prefixes longer than this lie in shards already listed
    for (std::size_t s = lastFirstAtMost(query, length); s != kNone;) {
      if (count < 64) {
        first[count] = s;
      } else {
        more.push_back(s);
      }
      ++count;
      // The longest prefix below the shard's first key: the first key's common part with the
      // query, shortened when that is the whole first key.
      const std::string& key = manifest_.shards[s].first;
      if (key.empty()) break;
      std::size_t common = 0;
      const std::size_t limit = std::min(reach, key.size());
      while (common < limit && key[common] == query[common]) ++common;
      reach = std::min(common, key.size() - 1);
      s = lastFirstAtMost(query, reach);
    }
    return count;
  }

  // The matches at text positions[0 .. count) of a scan, from every shard that may hold a key
  // beginning there, as ScanWalks::run() gives them for one index.
  void findBlock(Scanner& scanner, const std::size_t* positions, std::size_t count,
                 std::vector<internal::ScanMatch>& out) const {
    const char* text = reinterpret_cast<const char*>(scanner.scan_.text());
    const std::size_t size = scanner.scan_.size();
    const ScanOptions& options = scanner.scan_.options();
    auto& routed = scanner.routed_;  // (shard, i)
    routed.clear();
    std::size_t first[64];
    std::vector<std::size_t> more;
    for (std::size_t i = 0; i < count; ++i) {
      more.clear();
      const std::size_t shards =
          prefixShards(text + positions[i], size - positions[i], first, more);
      for (std::size_t k = 0; k < shards; ++k)
        routed.emplace_back(k < 64 ? first[k] : more[k - 64], i);
    }
    std::sort(routed.begin(), routed.end());
    const std::size_t from = out.size();
    if (options.longest) {
      out.resize(from + count);
      for (std::size_t i = 0; i < count; ++i) out[from + i] = {positions[i], 0, -1};
    }
    for (std::size_t at = 0; at < routed.size();) {
      const std::size_t s = routed[at].first;
      scanner.positions_.clear();
      scanner.slots_.clear();
      for (; at < routed.size() && routed[at].first == s; ++at) {
        scanner.positions_.push_back(positions[routed[at].second]);
        scanner.slots_.push_back(routed[at].second);
      }
      const ShardEntry& entry = manifest_.shards[s];
      const Pin pin = view(s);
      scanner.found_.clear();
      scanner.walks_.run(pin->units_, scanner.scan_.text(), size, scanner.positions_.data(),
                         scanner.positions_.size(), options.longest, options.words, scanner.found_);
      for (std::size_t k = 0; k < scanner.found_.size(); ++k) {
        const internal::ScanMatch& m = scanner.found_[k];
        // A damaged shard holds nothing outside its range.
        if (m.length == 0 || !within(entry, text + m.position, m.length)) continue;
        const internal::ScanMatch match{m.position, m.length,
                                        static_cast<long>(entry.base) + m.value};
        if (!options.longest) {
          out.push_back(match);
        } else if (m.length > out[from + scanner.slots_[k]].length) {
          // Each shard gave its longest at a position: the longest of them stays.
          out[from + scanner.slots_[k]] = match;
        }
      }
    }
    if (!options.longest) {
      std::sort(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(),
                [](const internal::ScanMatch& a, const internal::ScanMatch& b) {
                  return a.position != b.position ? a.position < b.position : a.length < b.length;
                });
    }
  }

  static bool within(const ShardEntry& entry, const char* key, std::size_t length) {
    return compare(key, length, entry.first) >= 0 && compare(key, length, entry.last) <= 0;
  }

  Manifest manifest_;
  internal::ByteSet firstBytes_;  // the bytes a key may begin with
  std::unique_ptr<Shard[]> shards_;
  std::size_t count_ = 0;
  bool evicting_ = false;
  int directory_ = -1;
  std::string directoryName_;  // with its final slash, as errors name the shards
  std::string manifestName_;
  std::size_t keyCount_ = 0;
  mutable std::mutex locks_[kLocks];
  mutable std::mutex mapping_;
  mutable std::vector<std::size_t> mapped_;  // the shards mapped, when they may be unmapped
  mutable std::atomic<std::uint64_t> clock_{0};
  mutable std::mutex errorLock_;
  mutable std::string error_;
  mutable int readStatus_ = kOk;
  mutable std::string readError_;
};

}  // namespace Tessel
