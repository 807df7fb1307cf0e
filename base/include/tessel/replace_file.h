#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <tessel/internal/io.h>
#include <tessel/internal/wait.h>

namespace Tessel {
namespace internal {

// Writes `size` bytes to the new file `fd` in pieces, asking keepGoing(context) after each,
// when given; then each piece's writeback starts at once and the one before is waited for, so
// that the final sync is short and a stop is never far. A large file goes past the page cache
// where the file system allows it: the copy into the cache and the writeback that the sync
// would do cost more there than the disk's own time. What is left below a whole block, or
// what the file system refuses so, goes the usual way.
inline bool writePieces(int fd, const char* data, std::size_t size, bool (*keepGoing)(void*),
                        void* context) {
  constexpr std::size_t kDirectFrom = std::size_t{256} << 20;
  constexpr std::size_t kBlock = 4096;
  const std::size_t piece = keepGoing != nullptr ? std::size_t{16} << 20 : kMaxTransfer;
  int flags = -1;
#ifdef O_DIRECT
  if (size >= kDirectFrom && reinterpret_cast<std::uintptr_t>(data) % kBlock == 0) {
    flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) flags = -1;
  }
#endif
  std::size_t done = 0;
  while (done < size) {
    std::size_t length = std::min(piece, size - done);
    if (flags >= 0) length = length / kBlock * kBlock;
    std::size_t written = 0;
    if (length == 0 || !writeAll(fd, data + done, length, &written)) {
      if (flags < 0) return false;
      // A refusal part way (EINVAL on some file systems, or a short write that leaves the
      // rest unaligned) leaves the rest to the usual writes.
      done += written / kBlock * kBlock;
      if (::fcntl(fd, F_SETFL, flags) != 0 || ::lseek(fd, static_cast<off_t>(done), SEEK_SET) < 0) {
        return false;
      }
      flags = -1;
      continue;
    }
    done += length;
    if (keepGoing == nullptr) continue;
#ifdef SYNC_FILE_RANGE_WRITE
    if (flags < 0) {
      const auto end = static_cast<off_t>(done), start = static_cast<off_t>(done - length);
      (void)::sync_file_range(fd, start, end - start, SYNC_FILE_RANGE_WRITE);
      if (start > 0) {
        const off_t before = std::max<off_t>(0, start - static_cast<off_t>(piece));
        (void)::sync_file_range(
            fd, before, start - before,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
      }
    }
#endif
    if (!keepGoing(context)) {
      errno = ECANCELED;
      return false;
    }
  }
  return flags < 0 || ::fcntl(fd, F_SETFL, flags) == 0;
}

inline std::string directoryPart(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links from `path` to the name that really holds the file (which may not
// exist yet). Returns false on a loop or an unreadable link.
inline bool resolveLinks(std::string& path) {
  constexpr int kMaxLinks = 40;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    if (hops == kMaxLinks) return false;
    std::vector<char> target(static_cast<std::size_t>(st.st_size) + 256);
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) == target.size()) return false;
    const std::string link(target.data(), static_cast<std::size_t>(length));
    if (link[0] == '/') {
      path = link;
    } else {
      path = directoryPart(path);
      path += link;
    }
  }
}

// Whether `path` and `resolved` name the same file. Both exist, or `path` does not.
inline bool sameFile(const std::string& path, const std::string& resolved) {
  struct stat named, found;
  if (::stat(path.c_str(), &named) != 0) return true;  // a dangling link: its target is made
  return ::stat(resolved.c_str(), &found) == 0 && named.st_dev == found.st_dev &&
         named.st_ino == found.st_ino;
}

// A temporary file that may exist, recorded where a signal handler can read it: `directory`
// and `name` are complete whenever `state` is kArmed.
struct PendingTemporary {
  static constexpr int kFree = 0, kClaimed = 1, kArmed = 2;
  std::atomic<int> state{kFree};
  int directory = -1;
  char name[128];
};
static_assert(std::atomic<int>::is_always_lock_free, "read from signal handlers");

// Enough for every thread that may be saving at once; a save finding none free goes
// unrecorded.
inline PendingTemporary pendingTemporaries[16];

// Records temporary file names for as long as it lives.
class TemporaryRecord {
 public:
  TemporaryRecord() {
    for (PendingTemporary& slot : pendingTemporaries) {
      int expected = PendingTemporary::kFree;
      if (slot.state.compare_exchange_strong(expected, PendingTemporary::kClaimed)) {
        slot_ = &slot;
        return;
      }
    }
  }
  ~TemporaryRecord() {
    if (slot_ != nullptr) slot_->state.store(PendingTemporary::kFree);
  }
  TemporaryRecord(const TemporaryRecord&) = delete;
  TemporaryRecord& operator=(const TemporaryRecord&) = delete;

  // Records `name` in the open directory `directory` before the file is created, so that no
  // moment has it on disk unrecorded.
  void arm(int directory, const char* name) {
    if (slot_ == nullptr || std::strlen(name) >= sizeof slot_->name) return;
    slot_->state.store(PendingTemporary::kClaimed);
    slot_->directory = directory;
    std::memcpy(slot_->name, name, std::strlen(name) + 1);
    slot_->state.store(PendingTemporary::kArmed);
  }
  // Forgets the name once the file has been renamed or removed.
  void disarm() {
    if (slot_ != nullptr) slot_->state.store(PendingTemporary::kClaimed);
  }

 private:
  PendingTemporary* slot_ = nullptr;
};

// The directory of `path`, open for the calls relative to it; -1 with errno set on failure.
// Without leave to read it, it is opened as a mere handle, which cannot be synced.
inline int openDirectory(const std::string& path) {
  const std::string directory = directoryPart(path);
  const char* name = directory.empty() ? "." : directory.c_str();
  int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
  if (fd < 0 && errno == EACCES) fd = ::open(name, O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
  return fd;
}

// Writes the next temporary name of this process to `name`: `prefix` and "PID-TIME-N.tmp",
// N counted up for every name asked. False, with ENAMETOOLONG, when it does not fit.
inline bool nextTemporaryName(const char* prefix, char (&name)[128]) {
  static std::atomic<unsigned> counter{0};
  const int length =
      std::snprintf(name, sizeof name, "%s%ld-%lx-%u.tmp", prefix, static_cast<long>(::getpid()),
                    static_cast<unsigned long>(std::time(nullptr)), counter++);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof name) return true;
  errno = ENAMETOOLONG;
  return false;
}

// Set once the temporary files are being removed: the process is ending, and no more are
// made. `creating` counts the threads between their look at the flag and their file's record.
inline std::atomic<bool> temporariesRemoved{false};
inline std::atomic<int> creating{0};
static_assert(std::atomic<bool>::is_always_lock_free, "written from signal handlers");

// Held by a thread while it makes a file that it records (or counts) for the removal: that
// removal, as the process ends, waits until none is held. allowed() is false once it began.
class Creating {
 public:
  Creating() { creating.fetch_add(1); }
  ~Creating() { creating.fetch_sub(1); }
  Creating(const Creating&) = delete;
  Creating& operator=(const Creating&) = delete;
  bool allowed() const { return !temporariesRemoved.load(); }
};

// Creates a new file in `directory` with the permissions `mode` (the umask applies), named
// `prefix` and "PID-TIME-N.tmp"; its name goes to `name`. -1 with ECANCELED once the
// process's temporary files are being removed.
inline int createTemporary(int directory, mode_t mode, const char* prefix, char (&name)[128],
                           TemporaryRecord& record) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!nextTemporaryName(prefix, name)) return -1;
    const Creating creation;
    if (!creation.allowed()) {
      errno = ECANCELED;
      return -1;
    }
    record.arm(directory, name);
    // Read and write: a build may map it.
    const int fd = ::openat(directory, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    record.disarm();
    if (errno != EEXIST) return -1;
  }
  return -1;
}

inline bool closeChecked(int fd) {
  return ::close(fd) == 0 || errno == EINTR;
}

}  // namespace internal

namespace internal {

// A file of a ReplacedSet: its name and the second name of its old version ("" for none).
struct KeptFile {
  char name[128];
  char old[128];
};

// What a signal puts back: a set's directory and its first `count` files, each published
// whole before the count takes it in.
struct KeptFiles {
  int directory = -1;
  KeptFile* files = nullptr;
  std::atomic<std::size_t> count{0};
};
inline std::atomic<KeptFiles*> keptFiles{nullptr};
static_assert(std::atomic<KeptFiles*>::is_always_lock_free, "read from signal handlers");

// Puts a file of the directory back as it was. Async-signal-safe.
inline void putBackFile(int directory, const KeptFile& file) noexcept {
  if (file.old[0] == '\0') {
    ::unlinkat(directory, file.name, 0);
  } else {
    // A file not yet replaced is the old one under both names: the rename does nothing.
    ::renameat(directory, file.old, directory, file.name);
    ::unlinkat(directory, file.old, 0);
  }
}

// Removes the recorded temporary files and puts back a ReplacedSet's. Async-signal-safe.
inline void removeRecordedFiles() noexcept {
  for (PendingTemporary& slot : pendingTemporaries) {
    if (slot.state.load() == PendingTemporary::kArmed) ::unlinkat(slot.directory, slot.name, 0);
  }
  if (const KeptFiles* kept = keptFiles.load()) {
    for (std::size_t i = kept->count.load(); i-- > 0;) putBackFile(kept->directory, kept->files[i]);
  }
}

}  // namespace internal

// Removes the temporary files of the replaceFile calls under way in this process, leaving their
// targets as they were, and puts back the files of a ReplacedSet under way; no temporary file
// is made after it. Meant for a handler of a signal that then ends the process: it is
// async-signal-safe, and a replaceFile it interrupts must not go on.
inline void removeTemporaryFiles() noexcept {
  internal::temporariesRemoved.store(true);
  internal::removeRecordedFiles();
}

// removeTemporaryFiles() for a process that ends while other threads may still be saving (an
// interpreter that leaves daemon threads behind): it first waits, up to a second, for those
// creating a file at that moment, so that none is made past the removal. Not for a signal
// handler, whose own thread may be one of them.
inline void removeTemporaryFilesAtExit() noexcept {
  internal::temporariesRemoved.store(true);
  internal::waitForNone(internal::creating, 1000);
  internal::removeRecordedFiles();
}

// Files of one directory replaced one after another as a set (each by a FileReplacement):
// before each is replaced, keep() gives its old version a second name, so that a failure
// (putBack(), or the destructor before commit()) or a signal that ends the process
// (removeTemporaryFiles()) puts every file back as it was: the old version, or no file where
// there was none. A file that is no regular file, or whose old version cannot have a second
// name, is not put back. One set at a time is seen by signals; another goes unseen by them.
class ReplacedSet {
 public:
  ReplacedSet() = default;
  ~ReplacedSet() { putBack(); }
  ReplacedSet(const ReplacedSet&) = delete;
  ReplacedSet& operator=(const ReplacedSet&) = delete;

  // Opens `directory` (a path ending in '/') for up to `capacity` files. Returns 0, or -1
  // with errno set. Throws std::bad_alloc only.
  int begin(const std::string& directory, std::size_t capacity) {
    putBack();
    files_.reset(new internal::KeptFile[capacity]);
    capacity_ = capacity;
    kept_.count.store(0);
    kept_.files = files_.get();
    kept_.directory = internal::openDirectory(directory);
    if (kept_.directory < 0) return -1;
    internal::KeptFiles* none = nullptr;
    seen_ = internal::keptFiles.compare_exchange_strong(none, &kept_);
    return 0;
  }

  // Keeps the old version of the directory's file `name` before it is replaced, under a
  // temporary name that begins with `prefix` (a build removes such names if the process is
  // killed outright). Returns whether the file will be put back.
  bool keep(const std::string& name, const std::string& prefix) {
    const std::size_t count = kept_.count.load();
    if (kept_.directory < 0 || count == capacity_ || name.size() >= sizeof files_[0].name) {
      return false;
    }
    internal::KeptFile& file = files_[count];
    std::memcpy(file.name, name.c_str(), name.size() + 1);
    file.old[0] = '\0';
    struct stat st;
    const bool exists = ::fstatat(kept_.directory, file.name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists ? !S_ISREG(st.st_mode) : errno != ENOENT) return false;
    // The second name is made and counted, or none is.
    const internal::Creating creation;
    const bool kept = creation.allowed() && (!exists || keepAs(file, prefix));
    if (kept) kept_.count.store(count + 1);
    return kept;
  }

  // Forgets the file kept last (keep() said it would be put back): its replacement failed,
  // which left it as it was.
  void forgetLast() {
    const std::size_t count = kept_.count.load();
    if (count == 0) return;
    kept_.count.store(count - 1);
    const internal::KeptFile& file = files_[count - 1];
    if (file.old[0] != '\0') ::unlinkat(kept_.directory, file.old, 0);
  }

  // Puts every file kept back as it was, the last first, and ends the set. A signal on the
  // way puts back only those still to do.
  void putBack() {
    if (kept_.directory < 0) return;
    for (std::size_t i = kept_.count.load(); i-- > 0;) {
      internal::putBackFile(kept_.directory, files_[i]);
      kept_.count.store(i);
    }
    end();
  }

  // Keeps the new files: the old versions' second names go, and the set ends.
  void commit() {
    if (kept_.directory < 0) return;
    const std::size_t count = kept_.count.load();
    kept_.count.store(0);
    for (std::size_t i = 0; i < count; ++i) {
      if (files_[i].old[0] != '\0') ::unlinkat(kept_.directory, files_[i].old, 0);
    }
    end();
  }

 private:
  // Links the old version under a free temporary name, as FileReplacement names its own.
  bool keepAs(internal::KeptFile& file, const std::string& prefix) const {
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (!internal::nextTemporaryName(prefix.c_str(), file.old)) break;
      if (::linkat(kept_.directory, file.name, kept_.directory, file.old, 0) == 0) return true;
      if (errno != EEXIST) break;
    }
    file.old[0] = '\0';
    return false;
  }

  void end() {
    if (seen_) internal::keptFiles.store(nullptr);
    seen_ = false;
    ::close(kept_.directory);
    kept_.directory = -1;
  }

  std::unique_ptr<internal::KeptFile[]> files_;
  std::size_t capacity_ = 0;
  internal::KeptFiles kept_;
  bool seen_ = false;
};

// What a replacement asks its caller as it goes; any of them may be null.
struct ReplaceHooks {
  // Called between pieces of a large write: false abandons the replacement (ECANCELED).
  bool (*keepGoing)(void* context) = nullptr;
  // Called once the new bytes are safely in the temporary file, just before the rename: false
  // abandons the replacement, leaving the file as it was (ECANCELED). A file written in place
  // has no old bytes to keep: it is asked after the write, and its false only makes the call
  // fail.
  bool (*beforeCommit)(void* context) = nullptr;
  void* context = nullptr;
};

// The replacement of a file as a whole, so that a reader sees either the old content or all
// of the new one: the new bytes go to a temporary file in the same directory, which is synced
// to the disk, renamed over the file and removed on any failure; the directory is synced after
// the rename. Files are created, renamed and removed relative to the directory, so any path
// that can be opened can be replaced, however long. A symbolic link stays a link and its
// target is replaced; an existing file keeps its permission bits and, where allowed, its
// owner; a new file gets 0666 less the umask. A path that exists and is not a regular file (a
// FIFO, a device), or whose links do not name a file by its text (as /dev/fd/N of a pipe or of
// a deleted file), is opened and written in place; no other file is ever created for it. A
// file that exists but may not be written is refused, as opening it for writing would be.
// Every call returns 0 on success, -1 on failure with errno set. Under a file-size limit the
// process must ignore SIGXFSZ to see the failure instead of being killed.
class FileReplacement {
 public:
  FileReplacement() = default;
  ~FileReplacement() { abandon(); }
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Opens what receives the new bytes of `path`: a new temporary file, or the file itself
  // when it is written in place. With inPlace false, a path that would be written in place is
  // refused (ENOTSUP) and nothing is opened. The temporary file is named `temporaryPrefix`
  // (".tessel-" when null) and "PID-TIME-N.tmp", in the directory of the file.
  int begin(const char* path, bool inPlace = true, const char* temporaryPrefix = nullptr) {
    abandon();
    std::string finalPath = path;
    if (!internal::resolveLinks(finalPath)) return -1;
    struct stat st;
    const bool exists = ::stat(finalPath.c_str(), &st) == 0;
    if (!internal::sameFile(path, finalPath) || (exists && !S_ISREG(st.st_mode))) {
      if (!inPlace) {
        errno = ENOTSUP;
        return -1;
      }
      const char* name = internal::sameFile(path, finalPath) ? finalPath.c_str() : path;
      fd_ = ::open(name, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
      inPlace_ = fd_ >= 0;
      return fd_ >= 0 ? 0 : -1;
    }
    if (exists && ::faccessat(AT_FDCWD, finalPath.c_str(), W_OK, AT_EACCESS) != 0) return -1;
    // No file name (an empty path, or one ending in a slash) fails here, as open() would, and
    // not at the rename after all the work.
    target_ = finalPath.substr(internal::directoryPart(finalPath).size());
    if (target_.empty()) {
      errno = finalPath.empty() ? ENOENT : EISDIR;
      return -1;
    }
    directory_ = internal::openDirectory(finalPath);
    if (directory_ < 0) return -1;
    fd_ = internal::createTemporary(directory_, exists ? (st.st_mode & 07777) : 0666,
                                    temporaryPrefix == nullptr ? ".tessel-" : temporaryPrefix,
                                    tempName_, record_);
    created_ = fd_ >= 0;
    bool ok = created_;
    if (ok && exists) {
      // Ownership is kept where the caller may set it; the mode is set after, as chown may
      // clear set-id bits.
      if (::fchown(fd_, st.st_uid, st.st_gid) != 0) errno = 0;
      ok = ::fchmod(fd_, st.st_mode & 07777) == 0;
    }
    if (ok) return 0;
    const int saved = errno;
    abandon();
    errno = saved;
    return -1;
  }

  // begin() for the file `name` of the open directory `directory` (which the caller keeps):
  // whatever `name` is, a link included, the new file takes its place in the directory.
  int beginAt(int directory, const char* name, const char* temporaryPrefix = nullptr) {
    abandon();
    target_ = name;
    struct stat st;
    const bool regular =
        ::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    directory_ = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
    if (directory_ < 0) return -1;
    fd_ = internal::createTemporary(directory_, regular ? (st.st_mode & 07777) : 0666,
                                    temporaryPrefix == nullptr ? ".tessel-" : temporaryPrefix,
                                    tempName_, record_);
    created_ = fd_ >= 0;
    if (created_) return 0;
    const int saved = errno;
    abandon();
    errno = saved;
    return -1;
  }

  // The open file that receives the new bytes; -1 before begin() and after commit().
  int descriptor() const { return fd_; }
  // Whether the path is written in place.
  bool inPlace() const { return inPlace_; }

  // Writes `size` bytes at `data` to descriptor(), asking hooks.keepGoing between pieces.
  int write(const void* data, std::size_t size, const ReplaceHooks& hooks = ReplaceHooks()) {
    const char* bytes = static_cast<const char*>(data);
    const bool ok = inPlace_
                        ? internal::writeAll(fd_, bytes, size)
                        : internal::writePieces(fd_, bytes, size, hooks.keepGoing, hooks.context);
    return ok ? 0 : fail();
  }

  // Makes the new bytes the file's: syncs them, asks hooks.beforeCommit, renames the
  // temporary file over the file and syncs the directory. On failure the file is as it was
  // and the temporary file is gone.
  int commit(const ReplaceHooks& hooks = ReplaceHooks()) {
    if (fd_ < 0) {
      errno = EBADF;
      return -1;
    }
    bool ok = inPlace_ || ::fsync(fd_) == 0;
    ok = internal::closeChecked(fd_) && ok;
    fd_ = -1;
    if (ok && hooks.beforeCommit != nullptr && !hooks.beforeCommit(hooks.context)) {
      errno = ECANCELED;
      ok = false;
    }
    if (inPlace_) return ok ? 0 : -1;
    ok = ok && ::renameat(directory_, tempName_, directory_, target_.c_str()) == 0;
    if (!ok) return fail();
    created_ = false;
    record_.disarm();
    // Makes the rename survive a crash. Some file systems cannot sync a directory; the rename
    // has happened all the same, so that is no failure.
    (void)::fsync(directory_);
    ::close(directory_);
    directory_ = -1;
    return 0;
  }

  // Gives the replacement up: the temporary file is removed and the file stays as it was.
  void abandon() {
    const int saved = errno;
    if (fd_ >= 0) ::close(fd_);
    if (directory_ >= 0) {
      if (created_) ::unlinkat(directory_, tempName_, 0);
      record_.disarm();
      ::close(directory_);
    }
    fd_ = -1;
    directory_ = -1;
    created_ = false;
    inPlace_ = false;
    errno = saved;
  }

 private:
  int fail() {
    const int saved = errno;
    abandon();
    errno = saved;
    return -1;
  }

  std::string target_;
  int directory_ = -1;
  int fd_ = -1;
  bool created_ = false;  // tempName_ names the file this replacement made
  bool inPlace_ = false;
  char tempName_[128] = {};
  internal::TemporaryRecord record_;
};

// Writes `size` bytes from `data` to the file `path` through a FileReplacement (see there).
inline int replaceFile(const char* path, const void* data, std::size_t size,
                       const ReplaceHooks& hooks) {
  FileReplacement replacement;
  if (replacement.begin(path) != 0 || replacement.write(data, size, hooks) != 0) return -1;
  return replacement.commit(hooks);
}

// replaceFile() with only a hook before the rename.
inline int replaceFile(const char* path, const void* data, std::size_t size,
                       bool (*beforeCommit)(void*) = nullptr, void* context = nullptr) {
  ReplaceHooks hooks;
  hooks.beforeCommit = beforeCommit;
  hooks.context = context;
  return replaceFile(path, data, size, hooks);
}

}  // namespace Tessel
