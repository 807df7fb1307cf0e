#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <tessel/format.h>
#include <tessel/index_view.h>
#include <tessel/internal/crc32c.h>
#include <tessel/internal/no_memory.h>
#include <tessel/manifest.h>
#include <tessel/replace_file.h>
#include <tessel/shard_directory.h>
#include <tessel/status.h>

namespace Tessel {

// A read-only view of a sharded index (the manifest's format is in tessel/manifest.h): the
// same calls as IndexView, over all shards as if they were one index, with 64-bit values.
// Most code opens it through Tessel::Index (tessel/index.h), which opens a file or a
// directory alike. Queries go to their shard by its first key. The manifest is trusted in
// nothing it can be checked in: names, counts, sizes and order are checked at open(), every
// value a shard gives must lie below its lines, and verify() checks every byte and number.
//
// An index of at most mapLimit() shards maps every shard at open() and keeps the mappings
// till close(): a mapping outlives its file, so a rebuild that removes the shards afterwards
// leaves this view reading its generation. A larger one maps shards on first use, at most
// kMostMapped at once, and each shard must then still be the file it was at open() (device,
// inode, size and time of change): one removed or replaced since fails the call that needs
// it, and only that call. Every call returns its own Status; nothing is kept for later.
// A const view may be used from several threads at once.
class ShardedIndex {
 public:
  using Value = std::int64_t;

  static constexpr Status::Code kOk = kIndexOk;
  static constexpr Status::Code kCannotOpen = kIndexCannotOpen;
  static constexpr Status::Code kNotAnIndex = kIndexNotAnIndex;  // no manifest where one should be
  static constexpr Status::Code kCorrupt = kIndexCorrupt;  // a shard's bytes are not its index
  static constexpr Status::Code kBadManifest = kIndexBadManifest;

  // Shards mapped at once, at most, in an index larger than mapLimit().
  static constexpr std::size_t kMostMapped = 1024;

  ShardedIndex() = default;
  ~ShardedIndex() { close(); }
  ShardedIndex(const ShardedIndex&) = delete;
  ShardedIndex& operator=(const ShardedIndex&) = delete;

  // The most shards an index may have for all of them to be mapped at open(): half the
  // system's limit of mappings a process may hold (vm.max_map_count: 65530 by default, so
  // 32765 shards), leaving the other half to the rest of the process.
  static std::size_t mapLimit() {
    std::size_t limit = 65530;
    if (std::FILE* file = std::fopen("/proc/sys/vm/max_map_count", "re")) {
      char line[32];
      if (std::fgets(line, sizeof line, file) != nullptr) {
        char* end = nullptr;
        const unsigned long long read = std::strtoull(line, &end, 10);
        if (end != line && read > 0) limit = static_cast<std::size_t>(read);
      }
      (void)std::fclose(file);  // read only: nothing to lose
    }
    return limit / 2;
  }

  // Opens the sharded index in the directory `path`, or whose manifest `path` is. Fails with
  // kCannotOpen (errno in the status), kNotAnIndex (no manifest), kBadManifest (its line and
  // why) or kCorrupt (a shard that is no index), naming the file. Throws std::bad_alloc only.
  Status open(const char* path) { return open(path, mapLimit()); }

  // open() that maps every shard at once when there are at most `mapAtOpen` of them, and
  // otherwise on first use.
  Status open(const char* path, std::size_t mapAtOpen) {
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
      return failure(inDirectory && errno == ENOENT ? kNotAnIndex : kCannotOpen,
                     inDirectory && errno == ENOENT ? std::string(path) : manifestName_);
    }
    std::string why;
    int status = ::fstat(fd, &st) != 0 ? kCannotOpen : S_ISREG(st.st_mode) ? kOk : kNotAnIndex;
    if (status == kOk) status = readManifest(fd, manifest_, why);
    const int error = errno;
    ::close(fd);
    errno = error;
    if (status == kBadManifest) return failure(kBadManifest, manifestName_ + ": " + why);
    if (status != kOk) return failure(static_cast<Status::Code>(status), manifestName_);
    shards_.reset(new Shard[manifest_.shards.size()]);
    count_ = manifest_.shards.size();
    evicting_ = count_ > mapAtOpen;
    for (std::size_t i = 0; i < count_; ++i) {
      Status checked = checkShard(i);
      if (!checked.ok()) {
        close();
        return checked;
      }
      const ShardEntry& entry = manifest_.shards[i];
      keyCount_ += entry.keys;
      // The bytes a shard's keys may begin with lie between its first key's and its last's.
      const unsigned low = entry.first.empty() ? 0 : static_cast<unsigned char>(entry.first[0]);
      for (unsigned c = low; c <= static_cast<unsigned char>(entry.last[0]); ++c) {
        firstBytes_.add(static_cast<unsigned char>(c));
      }
    }
    return Status();
  }

  // Unmaps every shard; the view is then empty. REQUIRES: no other thread is using it.
  void close() {
    shards_.reset();
    count_ = 0;
    mapped_.clear();
    manifest_ = Manifest();
    firstBytes_ = internal::ByteSet();
    if (directory_ >= 0) ::close(directory_);
    directory_ = -1;
    keyCount_ = 0;
  }

  std::size_t shardCount() const { return count_; }
  const ShardEntry& shard(std::size_t i) const { return manifest_.shards[i]; }
  const std::string& generation() const { return manifest_.generation; }
  // The shards' directory, with its final slash, and the manifest's path.
  const std::string& directory() const { return directoryName_; }
  const std::string& manifestPath() const { return manifestName_; }

  // Checks the whole index: the manifest's numbers with each other (each base the lines
  // before it), each shard's size and checksum against the manifest, its units a tree, its
  // keys in order inside its range from its first key to its last, their number the
  // manifest's and their values below its lines. Fails with kCorrupt (a shard's bytes),
  // kBadManifest (numbers that are not the shards') or the failure of reading a shard.
  Status verify() const {
    const std::string why = checkBases(manifest_);
    if (!why.empty()) return Status::failure(kBadManifest, manifestName_ + ": " + why);
    for (std::size_t i = 0; i < count_; ++i) {
      const ShardEntry& entry = manifest_.shards[i];
      const Pin v = view(i);
      if (!v.status.ok()) return v.status;
      const std::uint32_t crc = internal::Crc32c::update(0, v->data(), v->size() * kUnitBytes);
      if (v->size() * kUnitBytes != entry.bytes || crc != entry.crc32c) {
        return Status::failure(kCorrupt, path(i) + ": checksum differs from the manifest's");
      }
      std::uint64_t keys = 0, values = 0;
      std::string previous;
      bool inRange = true;
      const int status = v->forEach([&](const std::string& key, std::int32_t value) {
        inRange = (keys == 0 ? key == entry.first : key > previous) && key <= entry.last;
        previous = key;
        ++keys;
        values = std::max<std::uint64_t>(values, static_cast<std::uint64_t>(value) + 1);
        return inRange;
      });
      if (status != kOk || !inRange || previous != entry.last) {
        return Status::failure(kCorrupt, path(i) + ": its keys are not those of its range");
      }
      if (keys != entry.keys || values > entry.lines) {
        return Status::failure(
            kBadManifest, manifestName_ + ": line " + std::to_string(i + 3) + ": the shard holds " +
                              std::to_string(keys) + " keys with values below " +
                              std::to_string(values) + ", not keys=" + std::to_string(entry.keys) +
                              " below lines=" + std::to_string(entry.lines));
      }
      Status weights = verifyWeights(weightsPathOf(path(i)),
                                     static_cast<const unsigned char*>(v->data()), v->size());
      if (!weights.ok()) return weights;
    }
    return Status();
  }

  // Makes each shard's companion (saveWeights()) from weights[line] for each line of the
  // index's key list: a shard takes the lines of its range. Fails when there are fewer lines
  // than the manifest counts, before any companion is written, or when a companion cannot be
  // written: those written before it are then put back (a regular file as it was, a missing
  // one removed), unless the process dies first. For indexes opened after.
  Status saveWeights(const std::uint32_t* weights, std::size_t lines) const {
    // Too few lines for a shard would leave the shards before it with new weights and the
    // rest with old ones: every range is checked first.
    for (std::size_t s = 0; s < count_; ++s) {
      const ShardEntry& entry = manifest_.shards[s];
      if (entry.base > lines || entry.lines > lines - entry.base) {
        return Status::failure(kCorrupt,
                               weightsPathOf(path(s)) + ": the weights are not of this key list");
      }
    }
    // A failure at a shard (a full disk), or a signal that ends the process, puts the
    // companions before it back as they were.
    ReplacedSet replaced;
    if (replaced.begin(directoryName_, count_) != 0) {
      return Status::failure(kCannotOpen, directoryName_, errno);
    }
    for (std::size_t s = 0; s < count_; ++s) {
      const ShardEntry& entry = manifest_.shards[s];
      const Pin pin = view(s);
      if (!pin.status.ok()) return pin.status;
      // Temporary files of the directory's own names: a build removes those a killed run left.
      const std::string name = entry.file + ".weights";
      const std::string prefix = ShardNames::weightsTemporaryPrefix(name);
      const bool kept = replaced.keep(name, prefix);
      Status saved = Tessel::saveWeights(
          directoryName_ + name, static_cast<const unsigned char*>(pin->data()), pin->size(),
          weights + entry.base, static_cast<std::size_t>(entry.lines), prefix.c_str());
      if (!saved.ok()) {
        // This shard's companion is as it was: only those before it are put back.
        if (kept) replaced.forgetLast();
        return saved;
      }
    }
    replaced.commit();
    return Status();
  }

  // The number of distinct keys, as the manifest counts them (verify() checks them).
  std::size_t keyCount() const { return keyCount_; }

  // Stores the value of key[0 .. length) in `value`: ok, notFound, or the failure of the
  // shard that would hold it.
  Status find(const char* key, std::size_t length, Value& value) const {
    const std::size_t s = route(key, length);
    if (s == kNone) return Status::notFound();
    const Pin pin = view(s);
    if (!pin.status.ok()) return pin.status;
    std::int32_t local;
    if (!pin->find(key, length, local)) return Status::notFound();
    if (!inLines(s, local)) return outsideLines(s);
    value = static_cast<Value>(manifest_.shards[s].base) + local;
    return Status();
  }

  // find() for `count` keys at once: values[i] becomes the value of keys[i][0 .. lengths[i]),
  // or -1. The keys of each shard are looked up together, with walks in flight. Fails when a
  // shard that some key needs cannot be read; the values are then not all set.
  Status findMany(std::size_t count, const char* const* keys, const std::size_t* lengths,
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
      const Pin pin = view(s);
      if (!pin.status.ok()) return pin.status;
      pin->findMany(n, pointers.data(), sizes.data(), found.data());
      for (std::size_t j = 0; j < n; ++j) {
        if (found[j] < 0) continue;
        if (!inLines(s, found[j])) return outsideLines(s);
        values[order[starts[s] + j]] = static_cast<Value>(manifest_.shards[s].base) + found[j];
      }
    }
    return Status();
  }

  // Calls onMatch(length, value) for every key that is a prefix of query[0 .. length),
  // shortest first, from whichever shards hold them. Fails, having reported none, when one
  // of those shards cannot be read.
  template <class OnMatch>
  Status commonPrefixes(const char* query, std::size_t length, OnMatch&& onMatch) const {
    return commonPrefixesMany(1, &query, &length, [&](std::size_t, std::size_t found, Value value) {
      onMatch(found, value);
    });
  }

  // commonPrefixes() for `count` queries at once: onMatch(query, length, value) in query
  // order and shortest first within a query. The queries of each shard are walked together,
  // with walks in flight, as in findMany(). Fails, having reported none, when a shard that
  // some query needs cannot be read.
  template <class OnMatch>
  Status commonPrefixesMany(std::size_t count, const char* const* queries,
                            const std::size_t* lengths, OnMatch&& onMatch) const {
    std::vector<std::pair<std::size_t, std::size_t>> routed;  // (shard, query)
    std::size_t first[64];
    std::vector<std::size_t> more;
    for (std::size_t q = 0; q < count; ++q) {
      more.clear();
      const std::size_t n = prefixShards(queries[q], lengths[q], first, more);
      for (std::size_t k = 0; k < n; ++k) routed.emplace_back(k < 64 ? first[k] : more[k - 64], q);
    }
    std::sort(routed.begin(), routed.end());
    struct Found {
      std::size_t query, length;
      Value value;
    };
    std::vector<Found> found;
    std::vector<const char*> pointers;
    std::vector<std::size_t> sizes, owners;
    for (std::size_t at = 0; at < routed.size();) {
      const std::size_t s = routed[at].first;
      pointers.clear();
      sizes.clear();
      owners.clear();
      for (; at < routed.size() && routed[at].first == s; ++at) {
        pointers.push_back(queries[routed[at].second]);
        sizes.push_back(lengths[routed[at].second]);
        owners.push_back(routed[at].second);
      }
      const Pin pin = view(s);
      if (!pin.status.ok()) return pin.status;
      const ShardEntry& entry = manifest_.shards[s];
      bool outside = false;
      pin->commonPrefixesMany(
          pointers.size(), pointers.data(), sizes.data(),
          [&](std::size_t k, std::size_t length, std::int32_t local) {
            // A damaged shard holds nothing outside its range.
            if (!within(entry, pointers[k], length)) return;
            outside |= !inLines(s, local);
            found.push_back({owners[k], length, static_cast<Value>(entry.base) + local});
          });
      if (outside) return outsideLines(s);
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
      return a.query != b.query ? a.query < b.query : a.length < b.length;
    });
    for (const Found& f : found) onMatch(f.query, f.length, f.value);
    return Status();
  }

  // IndexView::top() over the shards that may hold a key beginning with prefix[0 .. length),
  // each with its own companion (its file's name and ".weights"): each shard's best n,
  // merged. Fails with the failure of a shard or its companion.
  template <class OnKey>
  Status top(const char* prefix, std::size_t length, std::size_t n, OnKey&& onKey) const {
    struct Found {
      std::string key;
      Value value;
      std::uint32_t weight;
    };
    std::vector<Found> found;
    const auto [first, end] = length == 0 ? std::pair<std::size_t, std::size_t>(0, count_)
                                          : shardsBeginningWith(prefix, length);
    for (std::size_t s = first; s < end && n != 0; ++s) {
      const Pin pin = view(s);
      if (!pin.status.ok()) return pin.status;
      Shard& shard = shards_[s];
      std::call_once(shard.weightsOnce, [&] {
        shard.weightsStatus = shard.weights.load(
            weightsPathOf(path(s)), static_cast<const unsigned char*>(pin->data()), pin->size());
      });
      if (!shard.weightsStatus.ok()) return shard.weightsStatus;
      const ShardEntry& entry = manifest_.shards[s];
      bool outside = false;
      const int status =
          pin->top(shard.weights, prefix, length, n,
                   [&](const std::string& key, long local, std::uint32_t weight) {
                     if (!within(entry, key.data(), key.size())) return true;
                     if (!inLines(s, static_cast<std::int32_t>(local))) return !(outside = true);
                     found.push_back(Found{key, static_cast<Value>(entry.base) + local, weight});
                     return true;
                   });
      if (outside) return outsideLines(s);
      if (status != kOk) return internal::topFailure(status, path(s));
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
      return a.weight > b.weight;  // shards come in byte order, and each gave its keys in order
    });
    for (std::size_t i = 0; i < found.size() && i < n; ++i) {
      if (!internal::goOnRanked(onKey, found[i].key, found[i].value, found[i].weight)) break;
    }
    return Status();
  }

  // IndexView::walkFolded() over the shards that may hold a path: onPath(span, value, key),
  // depth first and in byte order of the paths, with 64-bit values; a key that a damaged
  // shard holds outside its range has none. Fails with the failure of a shard it needs.
  template <class OnPath>
  Status walkFolded(const char* query, std::size_t length, internal::FoldWalk& walk,
                    OnPath&& onPath) const {
    if (length == 0) return Status();
    internal::Spellings spellings;
    internal::spellingsAt(reinterpret_cast<const unsigned char*>(query), length, spellings);
    std::size_t done = 0;  // the shards before this one are walked
    for (std::uint8_t k = 0; k < spellings.count; ++k) {
      const auto [first, end] = shardsBeginningWith(
          reinterpret_cast<const char*>(spellings.bytes[k]), spellings.length[k]);
      for (std::size_t s = std::max(first, done); s < end; ++s) {
        const Pin pin = view(s);
        if (!pin.status.ok()) return pin.status;
        const ShardEntry& entry = manifest_.shards[s];
        Status failure;
        bool stopped = false;
        pin->walkFolded(query, length, walk,
                        [&](std::size_t span, long local, const std::string& key) {
                          Value value = -1;
                          if (local >= 0 && within(entry, key.data(), key.size())) {
                            if (!inLines(s, static_cast<std::int32_t>(local))) {
                              failure = outsideLines(s);
                              return internal::FoldWalk::kStop;
                            }
                            value = static_cast<Value>(entry.base) + local;
                          }
                          const auto next = onPath(span, value, key);
                          stopped = next == internal::FoldWalk::kStop;
                          return next;
                        });
        if (!failure.ok()) return failure;
        if (stopped) return Status();
      }
      done = std::max(done, end);
    }
    return Status();
  }

 private:
  // A shard's view, kept mapped for as long as someone reads it, or why it cannot be read.
  class Pin {
   public:
    Pin(const IndexView* view, std::shared_ptr<const IndexView> held, Status why = Status())
        : view_(view), held_(std::move(held)), status(std::move(why)) {}
    const IndexView& operator*() const { return *view_; }
    const IndexView* operator->() const { return view_; }

   private:
    const IndexView* view_;
    std::shared_ptr<const IndexView> held_;  // only where shards may be unmapped

   public:
    Status status;
  };

 public:
  // Lists the keys below a prefix one at a time, in byte order, across shards, as
  // IndexView::Cursor does within one. next() is false at the end and on a failure, which
  // status() then tells: a damaged shard (kCorrupt) or one that cannot be read. One per
  // thread.
  class Cursor {
   public:
    void reset(const ShardedIndex& index, const char* prefix, std::size_t length,
               bool descending = false) {
      index_ = &index;
      prefix_.assign(prefix, length);
      status_ = Status();
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
      while (shard_ < shards.size() && status_.ok()) {
        if (inner_.next()) {
          const ShardEntry& entry = shards[shard_];
          const std::string& key = inner_.key();
          // A damaged shard's keys outside its range are not listed.
          if (key < entry.first || key > entry.last) continue;
          if (!index_->inLines(shard_, inner_.value())) {
            status_ = index_->outsideLines(shard_);
            break;
          }
          value_ = static_cast<Value>(entry.base) + inner_.value();
          return true;
        }
        if (inner_.corrupt()) {
          status_ = Status::failure(kCorrupt, index_->path(shard_));
          break;
        }
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
    // ok, or why the listing ended early.
    const Status& status() const { return status_; }

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
      if (!pin_.status.ok()) {
        status_ = pin_.status;
        return;
      }
      inner_.reset(*pin_, prefix_.data(), prefix_.size(), descending_);
    }

    const ShardedIndex* index_ = nullptr;
    std::string prefix_;
    std::size_t shard_ = 0;
    Pin pin_{nullptr, nullptr};
    IndexView::Cursor inner_;
    Value value_ = -1;
    Status status_;
    bool descending_ = false;
  };

  // Finds the keys that occur in a text, as IndexView::Scanner does over one index: each
  // position's keys come from whichever shards hold them, walked a block of positions at a
  // time per shard. next() is false at the end and on a failure, which status() tells. One
  // per thread.
  class Scanner {
   public:
    void reset(const ShardedIndex& index, const char* text, std::size_t length,
               const ScanOptions& options = ScanOptions()) {
      index_ = &index;
      status_ = Status();
      scan_.reset(text, length, options, index.firstBytes_);
    }

    bool next() {
      if (index_ == nullptr || !status_.ok()) return false;
      const bool more = scan_.next([this](const std::size_t* positions, std::size_t count,
                                          std::vector<internal::ScanMatch>& out) {
        if (status_.ok()) status_ = index_->findBlock(*this, positions, count, out);
      });
      return more && status_.ok();
    }

    std::size_t position() const { return scan_.match().position; }
    std::size_t length() const { return scan_.match().length; }
    Value value() const { return static_cast<Value>(scan_.value()); }
    std::string_view key() const { return scan_.key(); }
    const Status& status() const { return status_; }

   private:
    friend class ShardedIndex;

    const ShardedIndex* index_ = nullptr;
    internal::TextScan scan_;
    internal::ScanWalks walks_;
    internal::FoldScanWalks foldWalks_;
    std::vector<std::pair<std::size_t, std::size_t>> routed_;  // (shard, i of the block)
    std::vector<std::size_t> positions_;                       // a shard's positions
    std::vector<std::size_t> slots_;                           // and their i
    std::vector<internal::ScanMatch> found_;
    Status status_;
  };

  // Calls onMatch(position, length, value) for each match of text[0 .. length), as
  // IndexView::scan() does; onMatch may return bool to stop. Fails as the Scanner does.
  template <class OnMatch>
  Status scan(const char* text, std::size_t length, const ScanOptions& options,
              OnMatch&& onMatch) const {
    Scanner scanner;
    internal::scanAll(scanner, *this, text, length, options, onMatch);
    return scanner.status();
  }

  // Calls onKey(key, value) for the keys that begin with prefix[0 .. length), in byte order,
  // up to `limit`; onKey may return bool to stop. Fails as the cursor does.
  template <class OnKey>
  Status predict(const char* prefix, std::size_t length, OnKey&& onKey, Cursor& cursor,
                 std::size_t limit = std::numeric_limits<std::size_t>::max()) const {
    internal::listBelow(*this, prefix, length, onKey, cursor, limit);
    return cursor.status();
  }

  // Calls onKey(key, value) for every key, in byte order; onKey may return bool to stop.
  // Fails with kCorrupt when a shard's units are no tree, or its keys leave its range or
  // come out of order, or with the failure of reading a shard.
  template <class OnKey>
  Status forEach(OnKey&& onKey) const {
    std::string previous;
    bool any = false;
    for (std::size_t s = 0; s < count_; ++s) {
      const ShardEntry& entry = manifest_.shards[s];
      const Pin pin = view(s);
      if (!pin.status.ok()) return pin.status;
      bool stopped = false, outOfOrder = false;
      const int status = pin->forEach([&](const std::string& key, std::int32_t local) {
        if ((any && key <= previous) || key < entry.first || key > entry.last ||
            !inLines(s, local)) {
          outOfOrder = true;
          return false;
        }
        previous = key;
        any = true;
        stopped = !internal::goOn(onKey, key, static_cast<Value>(entry.base) + local);
        return !stopped;
      });
      if (status != kOk || outOfOrder) {
        return Status::failure(kCorrupt, path(s) + ": its keys are not those of its range");
      }
      if (stopped) break;
    }
    return Status();
  }

  // Value -> key: the key whose value is `value` (the first in byte order when several share
  // it): ok, notFound, or the failure of the shard that would hold it.
  Status restoreKey(Value value, std::string& key) const {
    key.clear();
    const auto& shards = manifest_.shards;
    auto it = std::upper_bound(
        shards.begin(), shards.end(), value,
        [](Value v, const ShardEntry& e) { return static_cast<std::uint64_t>(v) < e.base; });
    if (value < 0 || it == shards.begin()) return Status::notFound();
    --it;
    const std::uint64_t local = static_cast<std::uint64_t>(value) - it->base;
    if (local >= it->lines) return Status::notFound();
    const auto s = static_cast<std::size_t>(it - shards.begin());
    const Pin pin = view(s);
    if (!pin.status.ok()) return pin.status;
    if (!pin->restoreKey(static_cast<std::int32_t>(local), key)) return Status::notFound();
    // A damaged shard's key outside its range is none of this index's.
    if (!within(*it, key.data(), key.size())) {
      key.clear();
      return Status::notFound();
    }
    return Status();
  }

  // Where a walk of traverse() stands: the bytes followed so far, and where they lead.
  class Walk {
   public:
    // The bytes followed since the start.
    const std::string& followed() const { return followed_; }

   private:
    friend class ShardedIndex;
    std::string followed_;
    std::size_t shard_ = kNone;
    std::size_t node_ = 0;
  };

  // Follows key[pos .. length) from where `walk` stands, advancing it and pos past every byte
  // followed, as IndexView::traverse() does: `result` becomes the value of the key that ends
  // there, IndexView::kNoValue when none does, or IndexView::kNoPath when a byte begins no
  // key's next byte (walk and pos then stop before it). Fails only when a shard cannot be read.
  Status traverse(const char* key, std::size_t length, std::size_t& pos, Walk& walk,
                  Value& result) const {
    result = IndexView::kNoPath;
    if (walk.shard_ == kNone) {
      Status entered = enterWalk(walk);
      if (!entered.ok() || walk.shard_ == kNone) return entered;
    }
    for (; pos < length; ++pos) {
      const Pin pin = view(walk.shard_);
      if (!pin.status.ok()) return pin.status;
      std::size_t node = walk.node_, at = 0;
      if (pin->traverse(key + pos, 1, node, at) != IndexView::kNoPath) {
        walk.node_ = node;
        walk.followed_ += key[pos];
        continue;
      }
      // The keys that begin with the longer prefix may lie in a later shard.
      Walk next;
      next.followed_ = walk.followed_ + key[pos];
      Status entered = enterWalk(next);
      if (!entered.ok() || next.shard_ == kNone) return entered;
      walk = std::move(next);
    }
    const Pin pin = view(walk.shard_);
    if (!pin.status.ok()) return pin.status;
    std::size_t node = walk.node_, at = 0;
    const long local = pin->traverse("", 0, node, at);
    if (local < 0 ||
        !within(manifest_.shards[walk.shard_], walk.followed_.data(), walk.followed_.size())) {
      result = IndexView::kNoValue;
      return Status();
    }
    if (!inLines(walk.shard_, static_cast<std::int32_t>(local))) return outsideLines(walk.shard_);
    result = static_cast<Value>(manifest_.shards[walk.shard_].base) + local;
    return Status();
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};
  static constexpr std::size_t kUnitBytes = Format::kUnitBytes;
  static constexpr std::size_t kLocks = 64;

  // What identifies a shard's file as the one seen at open().
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    decltype(stat::st_mtim) changed{};

    static Identity of(const struct stat& st) {
      return Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    }
    bool operator==(const Identity& o) const {
      return device == o.device && inode == o.inode && size == o.size &&
             changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
  };

  struct Shard {
    Identity identity;
    std::atomic<const IndexView*> view{};   // mapped, when it stays mapped till close()
    std::shared_ptr<const IndexView> held;  // the mapping
    std::atomic<std::uint64_t> used{0};     // when it was last pinned, where that matters
    std::once_flag weightsOnce;             // the companion, read on first use
    WeightTable weights;
    Status weightsStatus;
  };

  std::string path(std::size_t i) const { return directoryName_ + manifest_.shards[i].file; }

  Status failure(Status::Code code, const std::string& where) {
    const int error = errno;
    close();
    return Status::failure(code, where, code == kCannotOpen ? error : 0);
  }

  bool inLines(std::size_t s, std::int32_t local) const {
    return local >= 0 && static_cast<std::uint64_t>(local) < manifest_.shards[s].lines;
  }
  Status outsideLines(std::size_t s) const {
    return Status::failure(kCorrupt, path(s) + ": not the shard the manifest gives");
  }

  int openShard(std::size_t i) const {
    return ::openat(directory_, manifest_.shards[i].file.c_str(),
                    O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  }

  // Checks shard i's file (inside the directory only: no link is followed) against its
  // entry, records what identifies it, and maps it unless shards are mapped on first use.
  Status checkShard(std::size_t i) {
    const ShardEntry& entry = manifest_.shards[i];
    const std::string line = manifestName_ + ": line " + std::to_string(i + 3) + ": " + entry.file;
    const int fd = openShard(i);
    if (fd < 0) {
      if (errno == ELOOP)
        return Status::failure(kBadManifest, line + " is a link: outside its directory");
      return Status::failure(kCannotOpen, path(i), errno);
    }
    struct stat st;
    Status status;
    if (::fstat(fd, &st) != 0) {
      status = Status::failure(kCannotOpen, path(i), errno);
    } else if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != entry.bytes) {
      status =
          Status::failure(kBadManifest, line + " is not a file of the size the manifest gives");
    } else {
      shards_[i].identity = Identity::of(st);
      if (!evicting_) {
        auto mapped = std::make_shared<IndexView>();
        const int opened = mapped->openDescriptor(fd);
        if (opened == IndexView::kCannotOpen) {
          status = Status::failure(kCannotOpen, path(i), errno);
        } else if (opened != IndexView::kOk) {
          status = Status::failure(kCorrupt, path(i) + ": not an index");
        } else {
          shards_[i].view.store(mapped.get(), std::memory_order_release);
          shards_[i].held = std::move(mapped);
        }
      }
    }
    ::close(fd);
    return status;
  }

  // Shard i's view: mapped at open(), or on first use in a large index; its failure when its
  // file cannot be read as the one seen at open().
  Pin view(std::size_t i) const {
    Shard& shard = shards_[i];
    if (!evicting_) return Pin(shard.view.load(std::memory_order_acquire), nullptr);
    {
      std::lock_guard<std::mutex> hold(locks_[i % kLocks]);
      if (shard.held) {
        shard.used.store(clock_.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
        return Pin(shard.held.get(), shard.held);
      }
    }
    std::lock_guard<std::mutex> mapping(mapping_);
    {
      std::lock_guard<std::mutex> hold(locks_[i % kLocks]);
      if (shard.held) return Pin(shard.held.get(), shard.held);
    }
    auto mapped = std::make_shared<IndexView>();
    Status status = map(i, *mapped);
    if (!status.ok()) return Pin(nullptr, nullptr, std::move(status));
    if (mapped_.size() >= kMostMapped) evictOne();
    {
      std::lock_guard<std::mutex> hold(locks_[i % kLocks]);
      shard.held = mapped;
      shard.used.store(clock_.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
    }
    mapped_.push_back(i);
    return Pin(mapped.get(), mapped);
  }

  // Maps shard i, which must be the file seen at open(). REQUIRES: mapping_ held.
  Status map(std::size_t i, IndexView& into) const {
    const int fd = openShard(i);
    if (fd < 0) {
      return Status::failure(kCannotOpen, path(i), errno);
    }
    struct stat st;
    Status status;
    if (::fstat(fd, &st) != 0) {
      status = Status::failure(kCannotOpen, path(i), errno);
    } else if (!(Identity::of(st) == shards_[i].identity)) {
      status = Status::failure(kCorrupt, path(i) + ": not the shard the manifest gives");
    } else {
      const int opened = into.openDescriptor(fd);
      if (opened == IndexView::kCannotOpen && errno == ENOMEM) {
        ::close(fd);
        internal::outOfMemory();
      }
      if (opened == IndexView::kCannotOpen) {
        status = Status::failure(kCannotOpen, path(i), errno);
      } else if (opened != IndexView::kOk) {
        status = Status::failure(kCorrupt, path(i) + ": not an index");
      }
    }
    ::close(fd);
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
    const int c = an == 0 || b.empty() ? 0 : std::memcmp(a, b.data(), std::min(an, b.size()));
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

  // The shards whose ranges may hold a key that begins with bytes[0 .. length): those from
  // `first` up to `end`.
  std::pair<std::size_t, std::size_t> shardsBeginningWith(const char* bytes,
                                                          std::size_t length) const {
    const auto& shards = manifest_.shards;
    std::size_t first = lastFirstAtMost(bytes, length);
    if (first == kNone) {
      first = 0;
    } else if (compare(bytes, length, shards[first].last) > 0) {
      ++first;  // that shard's keys all lie below the bytes
    }
    std::size_t end = first;
    while (end < count_ && shards[end].first.compare(0, length, bytes, length) <= 0) ++end;
    return {first, end};
  }

  // The shard whose range holds key[0 .. length), or kNone.
  std::size_t route(const char* key, std::size_t length) const {
    const std::size_t s = lastFirstAtMost(key, length);
    if (s == kNone || compare(key, length, manifest_.shards[s].last) > 0) return kNone;
    return s;
  }

  // Starts `walk` at the shard that holds the least key not below the bytes it followed
  // (where every key with them as prefix lies, when one does), walked there from the root;
  // its shard stays kNone when no key has them as prefix. Fails when that shard cannot be read.
  Status enterWalk(Walk& walk) const {
    const auto& shards = manifest_.shards;
    const auto s = static_cast<std::size_t>(
        std::lower_bound(shards.begin(), shards.end(), walk.followed_,
                         [](const ShardEntry& e, const std::string& p) { return e.last < p; }) -
        shards.begin());
    walk.shard_ = kNone;
    if (s == shards.size()) return Status();
    const Pin pin = view(s);
    if (!pin.status.ok()) return pin.status;
    std::size_t node = 0, at = 0;
    if (pin->traverse(walk.followed_.data(), walk.followed_.size(), node, at) !=
        IndexView::kNoPath) {
      walk.shard_ = s;
      walk.node_ = node;
    }
    return Status();
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
  // beginning there, as ScanWalks::run() gives them for one index; the failure of a shard
  // that cannot be read, with no match added.
  Status findBlock(Scanner& scanner, const std::size_t* positions, std::size_t count,
                   std::vector<internal::ScanMatch>& out) const {
    const char* text = reinterpret_cast<const char*>(scanner.scan_.text());
    const std::size_t size = scanner.scan_.size();
    const ScanOptions& options = scanner.scan_.options();
    auto& routed = scanner.routed_;  // (shard, i)
    routed.clear();
    std::size_t first[64];
    std::vector<std::size_t> more;
    for (std::size_t i = 0; i < count; ++i) {
      if (options.ignoreCase) {
        // Every shard that may hold a key beginning with a spelling of the first character.
        internal::Spellings spellings;
        internal::spellingsAt(scanner.scan_.text() + positions[i], size - positions[i], spellings);
        std::size_t done = 0;
        for (std::uint8_t k = 0; k < spellings.count; ++k) {
          const auto [begin, end] = shardsBeginningWith(
              reinterpret_cast<const char*>(spellings.bytes[k]), spellings.length[k]);
          for (std::size_t s = std::max(begin, done); s < end; ++s) routed.emplace_back(s, i);
          done = std::max(done, end);
        }
        continue;
      }
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
      if (!pin.status.ok()) {
        out.resize(from);
        return pin.status;
      }
      scanner.found_.clear();
      internal::FoldedKeys& keys = scanner.scan_.keys();
      if (options.ignoreCase) {
        scanner.foldWalks_.run(pin->units_, scanner.scan_.text(), size, scanner.positions_.data(),
                               scanner.positions_.size(), options, scanner.scan_.rule(),
                               scanner.found_, keys);
      } else {
        scanner.walks_.run(pin->units_, scanner.scan_.text(), size, scanner.positions_.data(),
                           scanner.positions_.size(), options, scanner.scan_.rule(),
                           scanner.found_);
      }
      for (std::size_t k = 0; k < scanner.found_.size(); ++k) {
        const internal::ScanMatch& m = scanner.found_[k];
        if (m.length == 0) continue;
        // A damaged shard holds nothing outside its range.
        const std::string_view key =
            options.ignoreCase ? keys.key(m.value) : std::string_view(text + m.position, m.length);
        if (!within(entry, key.data(), key.size())) continue;
        const long local =
            options.ignoreCase ? keys.entries[static_cast<std::size_t>(m.value)].value : m.value;
        if (!inLines(s, static_cast<std::int32_t>(local))) {
          out.resize(from);
          return outsideLines(s);
        }
        const long global = static_cast<long>(entry.base) + local;
        if (options.ignoreCase) keys.entries[static_cast<std::size_t>(m.value)].value = global;
        const internal::ScanMatch match{m.position, m.length,
                                        options.ignoreCase ? m.value : global};
        if (!options.longest) {
          out.push_back(match);
        } else if (m.length > out[from + scanner.slots_[k]].length) {
          // Each shard gave its longest at a position: the longest of them stays.
          out[from + scanner.slots_[k]] = match;
        }
      }
    }
    if (!options.longest) {
      // Stable: shards came in order, so that keys of one place and length stay in byte order.
      std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(),
                       [](const internal::ScanMatch& a, const internal::ScanMatch& b) {
                         return a.position != b.position ? a.position < b.position
                                                         : a.length < b.length;
                       });
    }
    return Status();
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
};

}  // namespace Tessel
