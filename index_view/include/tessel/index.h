#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tessel/index_view.h>
#include <tessel/manifest.h>
#include <tessel/sharded_index.h>
#include <tessel/status.h>

namespace Tessel {

// One index, whatever its size: an index file, or a sharded index (its directory or its
// MANIFEST), behind one set of calls. For a file each call is IndexView's; for a directory,
// ShardedIndex's. Values are 64-bit. Every call that can fail returns its own Status (ok,
// notFound for a lookup that finds nothing, or a failure naming the file or shard), and
// the cursors and scanners hold theirs: next() is false at the end and on a failure, which
// status() tells. A const index may be used from several threads at once; a Cursor, Walk or
// Scanner serves one thread. REQUIRES for all of them: the index outlives their use and is
// not closed or moved meanwhile.
class Index {
 public:
  using Value = std::int64_t;

  // Results of traverse() besides a value (>= 0).
  static constexpr Value kNoValue = IndexView::kNoValue;
  static constexpr Value kNoPath = IndexView::kNoPath;

  // What a path holds, as open() takes it.
  enum class Kind { kMissing, kFile, kSharded };

  Index() = default;
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // What `path` is: a directory or a file that begins as a manifest is a sharded index; any
  // other existing path is taken as an index file (which open() then checks); kMissing when
  // it cannot be looked at (errno tells why).
  static Kind kindOf(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return Kind::kMissing;
    if (S_ISDIR(st.st_mode)) return Kind::kSharded;
    if (!S_ISREG(st.st_mode)) return Kind::kFile;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return Kind::kFile;
    const bool manifest = beginsAsManifest(fd);
    ::close(fd);
    return manifest ? Kind::kSharded : Kind::kFile;
  }

  // Opens the index at `path`, replacing what was open. Fails with kCannotOpen (the status
  // holds errno: ENOMEM when the file could not be mapped for want of address space),
  // kNotAnIndex, kBadManifest or kCorrupt, naming the file. Throws std::bad_alloc only.
  Status open(const char* path) {
    close();
    path_ = path;
    if (kindOf(path) == Kind::kSharded) {
      shards_ = std::make_unique<ShardedIndex>();
      Status status = shards_->open(path);
      if (!status.ok()) close();
      return status;
    }
    const int status = file_.open(path);
    if (status == IndexView::kOk) {
      weights_ = std::make_unique<Weights>();
      return Status();
    }
    const int error = errno;
    close();
    return Status::failure(static_cast<Status::Code>(status), path,
                           status == IndexView::kCannotOpen ? error : 0);
  }

  // Views `bytes` bytes at `data` as an index file, which the caller keeps alive and
  // unchanged while the index is used. Fails with kNotAnIndex.
  Status attach(const void* data, std::size_t bytes) {
    close();
    const int status = file_.attach(data, bytes);
    if (status == IndexView::kOk) return Status();
    return Status::failure(static_cast<Status::Code>(status), "");
  }

  // Unmaps the index; it then holds no key. REQUIRES: no other thread is using it.
  void close() {
    file_.close();
    shards_.reset();
    path_.clear();
    weights_.reset();
  }

  // Whether a sharded index is open, and its engine (nullptr for a file).
  bool sharded() const { return shards_ != nullptr; }
  const ShardedIndex* shards() const { return shards_.get(); }
  // The engine of an index file (empty for a sharded index).
  const IndexView& file() const { return file_; }
  // The path opened ("" for attach()).
  const std::string& path() const { return path_; }

  // The number of keys: of a file, the units that end a key, counted once and kept; of a
  // sharded index, as its manifest counts them. countKeys() walks a file instead.
  std::size_t keyCount() const { return shards_ ? shards_->keyCount() : file_.keyCount(); }
  // Makes ahead of a file's first listing what listings need (a pass over it), asking
  // keepGoing() between blocks: false when it stopped. A sharded index's shards, smaller,
  // make theirs as they are first listed.
  template <class KeepGoing>
  bool prepareListings(KeepGoing&& keepGoing) const {
    return shards_ || file_.prepareListings(keepGoing);
  }

  // keyCount() that asks keepGoing() now and then while a file's first count reads it whole:
  // false when keepGoing() stopped it (nothing kept), else true with `count` set.
  template <class KeepGoing>
  bool keyCount(std::size_t& count, KeepGoing&& keepGoing) const {
    if (!shards_) return file_.keyCount(count, keepGoing);
    count = shards_->keyCount();
    return true;
  }

  // The number of keys as a listing of every key finds them: a file is walked, so that a
  // damaged one fails with kCorrupt; a sharded index answers from its manifest.
  Status countKeys(std::size_t& count) const {
    if (shards_) {
      count = shards_->keyCount();
      return Status();
    }
    count = 0;
    return forEach([&](const std::string&, Value) { ++count; });
  }

  // Checks every byte that can be checked: a file's units must form a tree; a sharded index's
  // shards their checksums, ranges and counts (ShardedIndex::verify()).
  Status verify() const {
    if (shards_) return shards_->verify();
    Status walked = forEach([](const std::string&, Value) {});
    if (!walked.ok() || path_.empty()) return walked;
    return verifyWeights(weightsPathOf(path_), static_cast<const unsigned char*>(file_.data()),
                         file_.size());
  }

  // saveWeights() for an index file from weights[rank] for each key in byte order (`keys` of
  // them, the index's distinct keys), as a program that built the index from its own list
  // knows them. Fails with kCorrupt when the count differs from the index's.
  Status saveWeightsByRank(const std::uint32_t* weights, std::size_t keys) const {
    if (shards_ || path_.empty()) return Status::failure(kIndexCannotOpen, path_, EINVAL);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> heaviest;
    bool fits = true;
    Status walked = forEach([&](const std::string& key, Value) {
      std::size_t node = 0, pos = 0;
      fits = heaviest.size() < keys && file_.traverse(key.data(), key.size(), node, pos) >= 0;
      if (!fits) return false;
      // The key ends at the child of code 0: the unit at the node's base.
      const auto end = static_cast<std::uint32_t>(
          Format::baseAt(static_cast<const unsigned char*>(file_.data()), node));
      heaviest.emplace_back(weights[heaviest.size()], end);
      return true;
    });
    if (!walked.ok()) return walked;
    if (!fits || heaviest.size() != keys) {
      return Status::failure(kIndexCorrupt,
                             weightsPathOf(path_) + ": the weights are not of this key list");
    }
    return internal::writeBounds(weightsPathOf(path_),
                                 static_cast<const unsigned char*>(file_.data()), file_.size(),
                                 heaviest);
  }

  // Makes the companion of top() from weights[line] for each of the `lines` lines of the key
  // list the index was built from (a key's weight is the greatest of its run of equal keys'):
  // beside the index file, or beside each shard. For indexes opened after. Fails with
  // kCorrupt when the weights are too few for the key list, or with the file that cannot be
  // written; then no companion has changed (shards' put back, unless the process dies).
  Status saveWeights(const std::uint32_t* weights, std::size_t lines) const {
    if (shards_) return shards_->saveWeights(weights, lines);
    if (path_.empty()) return Status::failure(kIndexCannotOpen, "", EINVAL);
    return Tessel::saveWeights(weightsPathOf(path_),
                               static_cast<const unsigned char*>(file_.data()), file_.size(),
                               weights, lines);
  }

  // Stores the value of key[0 .. length) in `value`: ok, notFound, or a failure.
  Status find(const char* key, std::size_t length, Value& value) const {
    if (shards_) return shards_->find(key, length, value);
    std::int32_t local;
    if (!file_.find(key, length, local)) return Status::notFound();
    value = local;
    return Status();
  }

  // Looks up `count` keys at once, with walks in flight: values[i] becomes the value of
  // keys[i][0 .. lengths[i]), or -1 when it is not a key. Fails when a shard that some key
  // needs cannot be read; the values are then not all set.
  Status findMany(std::size_t count, const char* const* keys, const std::size_t* lengths,
                  Value* values) const {
    if (shards_) return shards_->findMany(count, keys, lengths, values);
    file_.findMany(count, keys, lengths, values);
    return Status();
  }

  // Calls onMatch(length, value) for every key that is a prefix of query[0 .. length),
  // shortest first. A failure reports no match.
  template <class OnMatch>
  Status commonPrefixes(const char* query, std::size_t length, OnMatch&& onMatch) const {
    if (shards_) return shards_->commonPrefixes(query, length, onMatch);
    file_.commonPrefixes(query, length, [&](std::size_t found, std::int32_t value) {
      onMatch(found, Value{value});
    });
    return Status();
  }

  // commonPrefixes() for `count` queries at once, with walks in flight:
  // onMatch(query, length, value) in query order and shortest first within a query.
  template <class OnMatch>
  Status commonPrefixesMany(std::size_t count, const char* const* queries,
                            const std::size_t* lengths, OnMatch&& onMatch) const {
    if (shards_) return shards_->commonPrefixesMany(count, queries, lengths, onMatch);
    file_.commonPrefixesMany(count, queries, lengths,
                             [&](std::size_t query, std::size_t length, std::int32_t value) {
                               onMatch(query, length, Value{value});
                             });
    return Status();
  }

  // Lists the keys below a prefix one at a time, in byte order or descending; reusable for
  // another prefix without allocating once its buffers have grown. A damaged file or shard
  // ends the listing with kCorrupt (IndexView::Cursor's bounds hold: it always ends).
  class Cursor {
   public:
    void reset(const Index& index, const char* prefix, std::size_t length,
               bool descending = false) {
      index_ = &index;
      status_ = Status();
      if (index.shards_) {
        shards_.reset(*index.shards_, prefix, length, descending);
      } else {
        file_.reset(index.file_, prefix, length, descending);
      }
    }

    // Moves to the next key; false at the end or on a failure (status() tells).
    bool next() {
      if (index_ == nullptr) return false;
      if (index_->shards_) return shards_.next();
      if (file_.next()) return true;
      if (file_.corrupt() && status_.ok()) status_ = Status::failure(kIndexCorrupt, index_->path_);
      return false;
    }

    // The current key and value. REQUIRES: the last next() returned true.
    const std::string& key() const { return index_->shards_ ? shards_.key() : file_.key(); }
    Value value() const { return index_->shards_ ? shards_.value() : Value{file_.value()}; }

    // ok, or why the listing ended early.
    const Status& status() const {
      return index_ != nullptr && index_->shards_ ? shards_.status() : status_;
    }

   private:
    const Index* index_ = nullptr;
    IndexView::Cursor file_;
    ShardedIndex::Cursor shards_;
    Status status_;
  };

  // Calls onKey(key, value) with each key that begins with prefix[0 .. length), in byte order,
  // up to `limit` keys; onKey may return bool, and false stops the listing after that key.
  // With `cursor`, repeated calls allocate nothing once its buffers have grown. Fails as the
  // cursor does, after the keys before the failure.
  template <class OnKey>
  Status predict(const char* prefix, std::size_t length, OnKey&& onKey, Cursor& cursor,
                 std::size_t limit = std::numeric_limits<std::size_t>::max()) const {
    internal::listBelow(*this, prefix, length, onKey, cursor, limit);
    return cursor.status();
  }
  template <class OnKey>
  Status predict(const char* prefix, std::size_t length, OnKey&& onKey) const {
    Cursor cursor;
    return predict(prefix, length, onKey, cursor);
  }

  // Calls onKey(key, value) for every key, in byte order; onKey may return bool, and false
  // stops. Fails with kCorrupt when the units are no tree (the keys before have been
  // reported), or with a shard's failure.
  template <class OnKey>
  Status forEach(OnKey&& onKey) const {
    if (shards_) return shards_->forEach(onKey);
    const int status = file_.forEach([&](const std::string& key, std::int32_t value) {
      return internal::goOn(onKey, key, Value{value});
    });
    if (status == IndexView::kOk) return Status();
    return Status::failure(static_cast<Status::Code>(status), path_);
  }

  // Value -> key: the key whose value is `value`, the first in byte order when several share
  // it: ok, notFound, or a failure.
  Status restoreKey(Value value, std::string& key) const {
    if (shards_) return shards_->restoreKey(value, key);
    if (value > std::numeric_limits<std::int32_t>::max() ||
        !file_.restoreKey(static_cast<std::int32_t>(value), key)) {
      key.clear();
      return Status::notFound();
    }
    return Status();
  }

  // Where a walk of traverse() stands; a new one stands at the root.
  class Walk {
   private:
    friend class Index;
    std::size_t node_ = 0;
    ShardedIndex::Walk shards_;
  };

  // Follows key[pos .. length) from where `walk` stands, advancing walk and pos past every
  // byte followed: `result` becomes the value of the key that ends there, kNoValue when
  // none does, or kNoPath when a byte has no edge (walk and pos then stop before it).
  // Matching can go on across buffers. Fails only when a shard cannot be read.
  Status traverse(const char* key, std::size_t length, std::size_t& pos, Walk& walk,
                  Value& result) const {
    if (shards_) return shards_->traverse(key, length, pos, walk.shards_, result);
    result = file_.traverse(key, length, walk.node_, pos);
    return Status();
  }

  // Matching that ignores case, as ScanOptions::ignoreCase defines it: a key matches a query
  // where its characters equal the query's, one for one, after simple case folding. The keys
  // reported are those stored, and several stored keys may match one query ("Apple" and
  // "apple"). These walk every spelling that the index holds, depth first.

  // find() ignoring case: the value of the first key in byte order that matches all of
  // key[0 .. length), and that key in `stored` when given: ok, notFound, or a failure.
  Status findIgnoringCase(const char* key, std::size_t length, Value& value,
                          std::string* stored = nullptr) const {
    if (length == 0) {
      if (stored != nullptr) stored->clear();
      return find(key, 0, value);  // the empty key: nothing to fold
    }
    internal::FoldWalk walk;
    bool found = false;
    Status status =
        walkFolded(key, length, walk, [&](std::size_t span, Value v, const std::string& path) {
          if (span < length) return internal::FoldWalk::kDeeper;
          if (v < 0) return internal::FoldWalk::kSkip;
          found = true;
          value = v;
          if (stored != nullptr) *stored = path;
          return internal::FoldWalk::kStop;
        });
    if (!status.ok()) return status;
    return found ? Status() : Status::notFound();
  }

  // commonPrefixes() ignoring case: onMatch(length, value, key) for every key that matches
  // query[0 .. length) up to `length` bytes of it, shortest first and, of one length, in byte
  // order of the keys. A failure reports no match.
  template <class OnMatch>
  Status commonPrefixesIgnoringCase(const char* query, std::size_t length,
                                    OnMatch&& onMatch) const {
    struct Found {
      std::size_t length;
      Value value;
      std::string key;
    };
    std::vector<Found> found;
    Value empty = -1;  // the empty key is a prefix of every query
    Status status = find(query, 0, empty);
    if (status.failed()) return status;
    if (status.ok()) found.push_back(Found{0, empty, std::string()});
    internal::FoldWalk walk;
    status =
        walkFolded(query, length, walk, [&](std::size_t span, Value v, const std::string& path) {
          if (v >= 0) found.push_back(Found{span, v, path});
          return internal::FoldWalk::kDeeper;
        });
    if (!status.ok()) return status;
    // The walk gave them in byte order.
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.length < b.length; });
    for (const Found& f : found) onMatch(f.length, f.value, f.key);
    return Status();
  }

  // predict() ignoring case: onKey(key, value) for the keys that begin with a match of all of
  // prefix[0 .. length), in byte order, up to `limit`; onKey may return bool to stop.
  template <class OnKey>
  Status predictIgnoringCase(const char* prefix, std::size_t length, OnKey&& onKey,
                             std::size_t limit = std::numeric_limits<std::size_t>::max()) const {
    // None of the spellings is a prefix of another, so that the keys below each, listed in
    // turn, come in byte order.
    std::vector<std::string> spelled;
    Status status = spellingsOf(prefix, length, spelled);
    Cursor cursor;
    bool stopped = false;
    for (std::size_t i = 0; status.ok() && !stopped && limit != 0 && i < spelled.size(); ++i) {
      status = predict(
          spelled[i].data(), spelled[i].size(),
          [&](const std::string& key, Value value) {
            if (!beginsWithCharacters(key, spelled[i])) return true;
            --limit;
            stopped = !internal::goOn(onKey, key, value);
            return !stopped && limit != 0;
          },
          cursor);
    }
    return status;
  }

  // Ranked completion: calls onKey(key, value, weight) for the `n` keys that begin with
  // prefix[0 .. length) with the greatest weights, the heaviest first and ties in byte order;
  // onKey may return bool, and false stops. With `ignoreCase`, the keys that begin with a
  // match of the prefix (as findIgnoringCase() matches). The weights live in a companion
  // file beside the index file, or beside each shard (weightsPathOf(), made by saveWeights()),
  // read and checked on first use; an index without one fails with kCannotOpen naming the
  // file (ENOENT), a companion that is damaged or of another index with kCorrupt.
  template <class OnKey>
  Status top(const char* prefix, std::size_t length, std::size_t n, OnKey&& onKey,
             bool ignoreCase = false) const {
    if (!ignoreCase) return topOf(prefix, length, n, onKey);
    // Each spelling of the prefix that the index holds, merged.
    std::vector<std::string> spelled;
    Status status = spellingsOf(prefix, length, spelled);
    struct Found {
      std::string key;
      Value value;
      std::uint32_t weight;
    };
    std::vector<Found> found;
    for (std::size_t i = 0; status.ok() && i < spelled.size(); ++i) {
      // Keys left out (a stray byte's) may hide the n heaviest of a spelling: asked again for
      // more until there are no more.
      const std::size_t kept = found.size();
      for (std::size_t want = n;; want = want > SIZE_MAX / 2 ? SIZE_MAX : want * 2) {
        found.resize(kept);
        std::size_t reported = 0;
        status = topOf(spelled[i].data(), spelled[i].size(), want,
                       [&](const std::string& key, Value value, std::uint32_t weight) {
                         ++reported;
                         if (beginsWithCharacters(key, spelled[i])) {
                           found.push_back(Found{key, value, weight});
                         }
                       });
        if (!status.ok() || found.size() - kept >= n || reported < want) break;
      }
    }
    if (!status.ok()) return status;
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.weight > b.weight; });
    for (std::size_t i = 0; i < found.size() && i < n; ++i) {
      if (!internal::goOnRanked(onKey, found[i].key, found[i].value, found[i].weight)) break;
    }
    return Status();
  }

  // Finds the keys that occur in a text (IndexView::Scanner tells what a match is). next()
  // is false at the end and on a failure, which status() tells. Reusable across texts.
  class Scanner {
   public:
    void reset(const Index& index, const char* text, std::size_t length,
               const ScanOptions& options = ScanOptions()) {
      index_ = &index;
      if (index.shards_) {
        // Made on first use: a scanner of files only keeps to the file's engine's size.
        if (!shards_) shards_ = std::make_unique<ShardedIndex::Scanner>();
        shards_->reset(*index.shards_, text, length, options);
      } else {
        file_.reset(index.file_, text, length, options);
      }
    }

    bool next() {
      if (index_ == nullptr) return false;
      return index_->shards_ ? shards_->next() : file_.next();
    }

    // The current match. REQUIRES: the last next() returned true.
    std::size_t position() const {
      return index_->shards_ ? shards_->position() : file_.position();
    }
    std::size_t length() const { return index_->shards_ ? shards_->length() : file_.length(); }
    Value value() const { return index_->shards_ ? shards_->value() : Value{file_.value()}; }
    // The current match's key as stored: the text it covers, unless case is ignored.
    std::string_view key() const { return index_->shards_ ? shards_->key() : file_.key(); }

    // ok, or why the scan ended early.
    const Status& status() const {
      static const Status kOk;
      return index_ != nullptr && index_->shards_ ? shards_->status() : kOk;
    }

   private:
    const Index* index_ = nullptr;
    IndexView::Scanner file_;
    std::unique_ptr<ShardedIndex::Scanner> shards_;
  };

  // Calls onMatch(position, length, value) for each match of text[0 .. length), in the order
  // a Scanner gives them; onMatch may return bool, and false stops the scan.
  template <class OnMatch>
  Status scan(const char* text, std::size_t length, const ScanOptions& options,
              OnMatch&& onMatch) const {
    Scanner scanner;
    internal::scanAll(scanner, *this, text, length, options, onMatch);
    return scanner.status();
  }
  template <class OnMatch>
  Status scan(const char* text, std::size_t length, OnMatch&& onMatch) const {
    return scan(text, length, ScanOptions(), onMatch);
  }

 private:
  // The spellings of all of prefix[0 .. length) that the index holds, ignoring case, in byte
  // order, each once (a sharded index may hold one in two shards).
  Status spellingsOf(const char* prefix, std::size_t length,
                     std::vector<std::string>& spelled) const {
    if (length == 0) {
      spelled.emplace_back();
      return Status();
    }
    internal::FoldWalk walk;
    Status status =
        walkFolded(prefix, length, walk, [&](std::size_t span, Value, const std::string& path) {
          if (span < length) return internal::FoldWalk::kDeeper;
          spelled.push_back(path);
          return internal::FoldWalk::kSkip;
        });
    spelled.erase(std::unique(spelled.begin(), spelled.end()), spelled.end());
    return status;
  }

  // Whether `key`, found below a spelling of a prefix, begins with the spelling's characters:
  // a stray byte at the spelling's end may begin a character of the key, which it does not
  // match.
  static bool beginsWithCharacters(const std::string& key, const std::string& spelling) {
    return spelling.empty() || static_cast<unsigned char>(spelling.back()) < 0x80 ||
           internal::characterEndsAt(key, spelling.size());
  }

  template <class OnKey>
  Status topOf(const char* prefix, std::size_t length, std::size_t n, OnKey&& onKey) const {
    if (shards_) return shards_->top(prefix, length, n, onKey);
    if (!weights_) {
      // An index in memory (attach()) has no file for a companion to stand beside.
      return Status::failure(
          kIndexCannotOpen,
          path_.empty() ? "the weights of an index in memory" : weightsPathOf(path_), ENOENT);
    }
    std::call_once(weights_->once, [this] {
      weights_->status = weights_->table.load(
          weightsPathOf(path_), static_cast<const unsigned char*>(file_.data()), file_.size());
    });
    if (!weights_->status.ok()) return weights_->status;
    const int status = file_.top(weights_->table, prefix, length, n,
                                 [&](const std::string& key, long value, std::uint32_t weight) {
                                   return internal::goOnRanked(onKey, key, Value{value}, weight);
                                 });
    return status == IndexView::kOk ? Status() : internal::topFailure(status, path_);
  }

  template <class OnPath>
  Status walkFolded(const char* query, std::size_t length, internal::FoldWalk& walk,
                    OnPath&& onPath) const {
    if (shards_) return shards_->walkFolded(query, length, walk, onPath);
    file_.walkFolded(query, length, walk,
                     [&](std::size_t span, long value, const std::string& key) {
                       return onPath(span, Value{value}, key);
                     });
    return Status();
  }

  // An index file's companion, read on first use.
  struct Weights {
    std::once_flag once;
    WeightTable table;
    Status status;
  };

  IndexView file_;
  std::unique_ptr<ShardedIndex> shards_;
  std::string path_;
  std::unique_ptr<Weights> weights_;
};

}  // namespace Tessel
