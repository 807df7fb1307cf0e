#pragma once

// The owner of a sharded index's directory while it is built: every name in it (shards, their
// temporary files, the marker of a build, generations, the manifest), the lock, the manifest's
// one writer, the commit and the cleanup. Readers need none of this (tessel/sharded_index.h).
//
// A build goes: open() takes the directory and its lock; begin() starts a generation, makes
// its marker and removes what builds that died left; the shards are built under
// shardName(generation, n), each through a temporary file named from temporaryPrefix(), and
// put in place only while the marker stands; commit() checks them and replaces the manifest,
// whose rename is the commit point. Before it, abandon() leaves the directory as it was;
// after it, finish() removes the marker and the previous generation. Files are created,
// renamed and removed relative to the directory's descriptor, by their exact names: nothing
// outside the directory, and no file of another program, is ever touched.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <tessel/format.h>
#include <tessel/manifest.h>
#include <tessel/replace_file.h>

namespace Tessel {

// The names of a sharded index's files: the only place they are made and recognised.
namespace ShardNames {

// A generation: the time in nanoseconds and the process, in hex, which no two builds share.
inline std::string newGeneration() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  char text[48];
  (void)std::snprintf(text, sizeof text, "%llx-%lx",
                      static_cast<unsigned long long>(
                          std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                      static_cast<unsigned long>(::getpid()));
  return text;
}

// Shard n of a generation.
inline std::string shard(const std::string& generation, std::size_t number) {
  char digits[24];
  (void)std::snprintf(digits, sizeof digits, "%05zu", number);
  return "shard-" + generation + "-" + digits + ".idx";
}

// The companion of shard n of a generation: its weights for ranked completion, named as the
// reader looks for it (the shard's name and ".weights").
inline std::string shardWeights(const std::string& generation, std::size_t number) {
  return shard(generation, number) + ".weights";
}

// What stands while a generation's build may still put shards in place.
inline std::string marker(const std::string& generation) {
  return ".tessel-building-" + generation;
}

// The beginning of the names of shard n's temporary files (FileReplacement adds the rest).
inline std::string temporaryPrefix(const std::string& generation, std::size_t number) {
  return "." + shard(generation, number) + "-";
}

// The beginning of the names of the temporary files of the companion `companion` (a name, as
// shardWeights() gives it, or a path ending in one).
inline std::string weightsTemporaryPrefix(const std::string& companion) {
  const std::size_t slash = companion.rfind('/');
  return "." + companion.substr(slash == std::string::npos ? 0 : slash + 1) + "-";
}

// The beginning of the names of the manifest's temporary files (FileReplacement adds the rest).
constexpr char kManifestTemporaryPrefix[] = ".MANIFEST-";

enum Kind { kOther, kShard, kShardWeights, kMarker, kTemporary, kManifestTemporary };

namespace internal {

inline bool hexRun(const std::string& text, std::size_t from, std::size_t to) {
  if (from >= to || to - from > 16) return false;
  for (std::size_t i = from; i < to; ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

inline bool digitRun(const std::string& text, std::size_t from, std::size_t to) {
  if (from >= to || to - from > 20) return false;
  for (std::size_t i = from; i < to; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Whether text[from ..) is what FileReplacement adds to a prefix: "PID-TIME-N.tmp", the time
// in hex.
inline bool temporarySuffix(const std::string& text, std::size_t from) {
  const std::size_t first = text.find('-', from);
  const std::size_t second = first == std::string::npos ? first : text.find('-', first + 1);
  const std::size_t dot = text.size() < 4 ? std::string::npos : text.size() - 4;
  return second != std::string::npos && dot != std::string::npos && dot > second &&
         text.compare(dot, 4, ".tmp") == 0 && digitRun(text, from, first) &&
         hexRun(text, first + 1, second) && digitRun(text, second + 1, dot);
}

inline bool isGeneration(const std::string& text) {
  const std::size_t dash = text.find('-');
  return dash != std::string::npos && hexRun(text, 0, dash) && hexRun(text, dash + 1, text.size());
}

// Whether `name` is "shard-G-NNNNN.idx" with G a generation; `generation` gets G.
inline bool isShard(const std::string& name, std::string& generation) {
  constexpr std::size_t kHead = 6, kTail = 4;
  if (name.size() < kHead + kTail + 5 || name.compare(0, kHead, "shard-") != 0 ||
      name.compare(name.size() - kTail, kTail, ".idx") != 0) {
    return false;
  }
  const std::size_t dash = name.rfind('-', name.size() - kTail);
  if (dash == std::string::npos || dash <= kHead || name.size() - kTail - dash - 1 < 5)
    return false;
  for (std::size_t i = dash + 1; i < name.size() - kTail; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  generation = name.substr(kHead, dash - kHead);
  return isGeneration(generation);
}

}  // namespace internal

// What `name` is among the names above; `generation` gets the generation it belongs to.
inline Kind parse(const std::string& name, std::string& generation) {
  static const std::string markerHead = ".tessel-building-";
  if (name.compare(0, markerHead.size(), markerHead) == 0) {
    generation = name.substr(markerHead.size());
    return internal::isGeneration(generation) ? kMarker : kOther;
  }
  const std::size_t manifestHead = sizeof kManifestTemporaryPrefix - 1;
  if (name.compare(0, manifestHead, kManifestTemporaryPrefix) == 0) {
    generation.clear();
    return internal::temporarySuffix(name, manifestHead) ? kManifestTemporary : kOther;
  }
  static const std::string weightsTail = ".weights";
  if (name.size() > 5 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0) {
    // ".shard-G-NNNNN.idx-" or ".shard-G-NNNNN.idx.weights-", and what FileReplacement adds.
    std::size_t end = name.find(".idx-");
    if (end == std::string::npos) {
      end = name.find(".idx.weights-");
      if (end == std::string::npos) return kOther;
    }
    return internal::isShard(name.substr(1, end + 3), generation) ? kTemporary : kOther;
  }
  if (name.size() > weightsTail.size() &&
      name.compare(name.size() - weightsTail.size(), weightsTail.size(), weightsTail) == 0) {
    return internal::isShard(name.substr(0, name.size() - weightsTail.size()), generation)
               ? kShardWeights
               : kOther;
  }
  return internal::isShard(name, generation) ? kShard : kOther;
}

}  // namespace ShardNames

// Writes `manifest` as the MANIFEST of the open directory `directory`, replacing it as a
// whole: a temporary file that is synced, renamed over it (a link too: none is followed), and
// the directory synced. Returns 0, or -1 with errno set.
inline int writeManifest(int directory, const Manifest& manifest) {
  const std::string text = manifestText(manifest);
  FileReplacement replacement;
  // A temporary file of its own name, which the directory's owner can tell and remove after a
  // build killed before the rename.
  if (replacement.beginAt(directory, kManifestName, ShardNames::kManifestTemporaryPrefix) != 0 ||
      replacement.write(text.data(), text.size()) != 0) {
    return -1;
  }
  return replacement.commit();
}

// writeManifest() for the directory at `path`.
inline int writeManifest(const std::string& path, const Manifest& manifest) {
  const int directory = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return -1;
  const int status = writeManifest(directory, manifest);
  const int error = errno;
  ::close(directory);
  errno = error;
  return status;
}

class ShardDirectory {
 public:
  ShardDirectory() = default;
  ~ShardDirectory() { close(); }
  ShardDirectory(const ShardDirectory&) = delete;
  ShardDirectory& operator=(const ShardDirectory&) = delete;

  // Opens the directory at `path`, making it when it does not exist, and takes its lock for
  // this build: another build of the same directory fails here. Returns 0, or -1 with errno
  // set: EWOULDBLOCK when another build holds the lock, ENOTDIR when `path` is a file.
  int open(const char* path) {
    close();
    path_ = path;
    created_ = ::mkdir(path, 0777) == 0;
    if (!created_ && errno != EEXIST) return -1;
    directory_ = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_ < 0) return -1;
    // The lock is the directory itself: flock() on its descriptor, released when it closes.
    if (::flock(directory_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close();
      errno = error;
      return -1;
    }
    return 0;
  }

  // Releases the lock; a build that was begun and neither committed nor abandoned is
  // abandoned first, and a directory that open() made for a build that did not commit is
  // removed when nothing else was put in it.
  void close() {
    if (directory_ < 0) return;
    if (begun_ && !committed_) abandon();
    const bool remove = created_ && !committed_;
    ::close(directory_);
    directory_ = -1;
    if (remove) (void)::rmdir(path_.c_str());
    begun_ = committed_ = created_ = false;
  }

  const std::string& path() const { return path_; }
  int descriptor() const { return directory_; }

  // Starts a build: a new generation and its marker. What builds that died left (markers,
  // temporary files, shards of generations that no manifest names) is removed, as no other
  // build can be running under the lock. The manifest in place now is remembered: its shards
  // are removed when a new one has taken its place. Returns 0, or -1 with errno set.
  int begin() {
    generation_ = ShardNames::newGeneration();
    begun_ = true;
    committed_ = false;
    previous_.clear();
    Manifest previous;
    std::string why;
    const int fd =
        ::openat(directory_, kManifestName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    bool known = fd < 0 && errno == ENOENT;  // no manifest: every shard of ours is a leftover
    if (fd >= 0) {
      struct stat st;
      known = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              readManifest(fd, previous, why) == kIndexOk;
      ::close(fd);
      for (const ShardEntry& shard : previous.shards) previous_.push_back(shard.file);
    }
    // Leftovers of our own names only, and only those of generations no manifest may name;
    // never a shard that the manifest lists, whatever its generation line says.
    removeOwn([&](ShardNames::Kind kind, const std::string& generation, const std::string& name) {
      if (kind == ShardNames::kShard || kind == ShardNames::kShardWeights) {
        const std::string shard = kind == ShardNames::kShard ? name : shardOfWeights(name);
        return known && generation != previous.generation &&
               std::find(previous_.begin(), previous_.end(), shard) == previous_.end();
      }
      return kind == ShardNames::kMarker || kind == ShardNames::kTemporary ||
             kind == ShardNames::kManifestTemporary;
    });
    const int marker = ::openat(directory_, ShardNames::marker(generation_).c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (marker < 0) return -1;
    ::close(marker);
    return 0;
  }

  const std::string& generation() const { return generation_; }
  // Paths in the directory, for the workers that build the shards.
  std::string shardPath(std::size_t number) const {
    return path_ + "/" + ShardNames::shard(generation_, number);
  }
  std::string markerPath() const { return path_ + "/" + ShardNames::marker(generation_); }

  // Checks the shards of `manifest` and makes it the directory's manifest: the first base is
  // 0 and each next one the one before plus its shard's lines, which add up to `lines`, the
  // input's; each shard is a file of this generation of the size the manifest gives, with an
  // index's root. Then the manifest is written to a temporary file, synced and renamed over
  // MANIFEST, the commit point, and the directory synced. Returns 0 with committed() true, or
  // -1 with `why` set (errno too where a call failed): the directory is then as it was.
  int commit(Manifest& manifest, std::uint64_t lines, std::string& why) {
    manifest.generation = generation_;
    why = checkBases(manifest);
    const std::uint64_t total =
        manifest.shards.empty() ? 0 : manifest.shards.back().base + manifest.shards.back().lines;
    if (why.empty() && total != lines) {
      why = "the shards hold " + std::to_string(total) + " lines of the input's " +
            std::to_string(lines);
    }
    for (std::size_t i = 0; why.empty() && i < manifest.shards.size(); ++i) {
      why = checkShard(manifest.shards[i]);
    }
    const std::string text = manifestText(manifest);
    Manifest again;
    if (why.empty()) why = parseManifest(text.data(), text.size(), again);
    if (!why.empty()) {
      errno = EINVAL;
      return -1;
    }
    if (writeManifest(directory_, manifest) != 0) {
      why = std::string("cannot write ") + kManifestName + ": " + describeError(errno);
      return -1;
    }
    committed_ = true;
    for (const ShardEntry& shard : manifest.shards) {
      previous_.erase(std::remove(previous_.begin(), previous_.end(), shard.file), previous_.end());
    }
    return 0;
  }

  // Whether commit() has made this build's manifest the directory's.
  bool committed() const { return committed_; }

  // Gives the build up before its commit: its marker first, so that no task puts a shard in
  // place after it, then every file of its generation. A task still running elsewhere may
  // yet leave a temporary file or a shard behind; the next build removes it.
  void abandon() {
    if (!begun_ || committed_) return;
    (void)::unlinkat(directory_, ShardNames::marker(generation_).c_str(), 0);
    removeOwn([&](ShardNames::Kind kind, const std::string& generation, const std::string&) {
      return kind != ShardNames::kOther && kind != ShardNames::kManifestTemporary &&
             generation == generation_;
    });
    begun_ = false;
  }

  // After the commit: removes the marker, the previous manifest's shards, every temporary
  // file (every task has ended; those of workers that were killed stay otherwise) and every
  // other file of our names that is not of the new generation.
  void finish() {
    if (!committed_) return;
    (void)::unlinkat(directory_, ShardNames::marker(generation_).c_str(), 0);
    for (const std::string& name : previous_) {
      (void)::unlinkat(directory_, name.c_str(), 0);
      (void)::unlinkat(directory_, (name + ".weights").c_str(), 0);
    }
    removeOwn([&](ShardNames::Kind kind, const std::string& generation, const std::string&) {
      return (kind != ShardNames::kShard && kind != ShardNames::kShardWeights) ||
             generation != generation_;
    });
  }

 private:
  // The system's words for an errno, safely from any thread (strerror() is not).
  static std::string describeError(int error) {
    return std::error_code(error, std::generic_category()).message();
  }

  // The shard whose companion is `name`.
  static std::string shardOfWeights(const std::string& name) {
    return name.substr(0, name.size() - (sizeof ".weights" - 1));
  }

  // What is wrong with a shard of this build about to be committed: "" when nothing.
  std::string checkShard(const ShardEntry& shard) const {
    std::string generation;
    if (ShardNames::parse(shard.file, generation) != ShardNames::kShard ||
        generation != generation_) {
      return shard.file + ": not a shard of this build";
    }
    const int fd =
        ::openat(directory_, shard.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return shard.file + ": " + describeError(errno);
    struct stat st;
    unsigned char root[Format::kUnitBytes];
    std::string why;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) != shard.bytes) {
      why = shard.file + ": not a file of the size its build gave";
    } else if (::pread(fd, root, sizeof root, 0) != static_cast<ssize_t>(sizeof root) ||
               Format::baseAt(root, 0) != Format::kRootBase || Format::checkAt(root, 0) != 0) {
      why = shard.file + ": not an index";
    }
    ::close(fd);
    return why;
  }

  // Removes the files of the directory that have one of our names and that `chosen(kind,
  // generation, name)` picks, by their names, relative to the directory.
  template <class Chosen>
  void removeOwn(Chosen&& chosen) const {
    const int listing = ::openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing < 0 ? nullptr : ::fdopendir(listing);
    if (entries == nullptr) {
      if (listing >= 0) ::close(listing);
      return;
    }
    std::vector<std::string> doomed;
    std::string generation;
    // readdir_r is deprecated; this stream belongs to this call alone.
    // cppcheck-suppress readdirCalled
    while (const dirent* entry = ::readdir(entries)) {  // NOLINT(concurrency-mt-unsafe)
      const std::string name = entry->d_name;
      const ShardNames::Kind kind = ShardNames::parse(name, generation);
      if (kind != ShardNames::kOther && chosen(kind, generation, name)) doomed.push_back(name);
    }
    ::closedir(entries);
    for (const std::string& name : doomed) (void)::unlinkat(directory_, name.c_str(), 0);
  }

  std::string path_;
  int directory_ = -1;
  std::string generation_;
  std::vector<std::string> previous_;  // the shards of the manifest that was in place
  bool begun_ = false;
  bool committed_ = false;
  bool created_ = false;  // open() made the directory
};

}  // namespace Tessel
