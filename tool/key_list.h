#pragma once

// How tessel-build reads its key list: a regular file is mapped and its lines found where they
// are; standard input and other files are read whole into one buffer and cut into lines.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <tessel/internal/io.h>
#include <tessel/internal/page_array.h>
#include <tessel/key_lines.h>

namespace Tessel {
namespace Tool {

enum class ReadStatus { kOk, kCannotOpen, kCannotRead };

// The whole key list in one buffer; each key is a line of it, its newline replaced by NUL.
struct KeyList {
  internal::PageArray<char> text;
  std::size_t textSize = 0;
  internal::PageArray<const char*> keys;
  std::size_t keyCount = 0;
};

// Reads fd to its end into list.text, followed by one NUL byte. Throws std::bad_alloc when the
// memory cannot be had.
inline bool readToEnd(int fd, std::size_t sizeHint, KeyList& list) {
  constexpr std::size_t kMinBuffer = std::size_t{1} << 16;
  list.text.grow(std::max(sizeHint + 1, kMinBuffer));
  std::size_t used = 0;
  for (;;) {
    // Keep room for the NUL byte after the text.
    if (used + 1 >= list.text.capacity()) list.text.grow(2 * list.text.capacity());
    const ssize_t got =
        internal::readSome(fd, list.text.data() + used, list.text.capacity() - used - 1);
    if (got < 0) return false;
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  list.text[used] = '\0';
  list.textSize = used;
  return true;
}

// Cuts the text into lines. A final line without a newline is a key; nothing after the last
// newline is. A key ends at its first NUL byte, which the builder's length rule gives for free.
inline void splitLines(KeyList& list) {
  char* line = list.text.data();
  char* const end = line + list.textSize;
  std::size_t count = 0;
  while (line < end) {
    if (count == list.keys.capacity()) list.keys.grow(2 * count + 4096);
    list.keys[count++] = line;
    char* newline =
        static_cast<char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    if (newline == nullptr) break;
    *newline = '\0';
    line = newline + 1;
  }
  list.keyCount = count;
}

// Loads the key list from the open descriptor fd, which stays open.
inline ReadStatus readKeysFrom(int fd, KeyList& list) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return ReadStatus::kCannotOpen;
  const std::size_t hint = S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0;
  if (!readToEnd(fd, hint, list)) return ReadStatus::kCannotRead;
  splitLines(list);
  return ReadStatus::kOk;
}

// Loads the key list from the file `name`, or from standard input when it is "-". A regular
// file of `mapFrom` bytes or more is mapped into `lines` (`mapped` tells), its lines not yet
// found (KeyLines::index); others are read into `list`. A small list costs little memory
// either way, and reading it is faster to build from (the word list: 139 ms of CPU against
// 180 ms).
inline ReadStatus readKeys(const char* name, std::size_t mapFrom, KeyList& list, KeyLines& lines,
                           bool& mapped) {
  mapped = false;
  if (std::strcmp(name, "-") == 0) return readKeysFrom(STDIN_FILENO, list);
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ReadStatus::kCannotOpen;
  struct stat st;
  // Files of /proc say they have no bytes: they are read.
  mapped = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
           static_cast<std::size_t>(st.st_size) >= mapFrom && lines.mapText(fd) == 0;
  const ReadStatus status = mapped ? ReadStatus::kOk : readKeysFrom(fd, list);
  ::close(fd);
  return status;
}

}  // namespace Tool
}  // namespace Tessel
