#pragma once

// How tessel-lookup reads queries and key lists: line by line, with the key list's rules.

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <new>

#include <tessel/internal/io.h>
#include <tessel/internal/page_array.h>
#include <tessel/line_rule.h>

namespace Tessel {
namespace Tool {

// Lines of a file descriptor, with the key list's rules (tessel/line_rule.h): a line ends at
// '\n'; a last line without one counts; the text after a line's first NUL byte is dropped.
class LineReader {
 public:
  // Reads `fd` in blocks of `block` bytes (more for a longer line). beforeRead(context), when
  // given, runs each time the reader is about to wait for input.
  explicit LineReader(int fd, std::size_t block = 1 << 16, void (*beforeRead)(void*) = nullptr,
                      void* context = nullptr)
      : fd_(fd), beforeRead_(beforeRead), context_(context) {
    buffer_.grow(block);
  }

  // Sets line and length to the next line; false at the end of the input or on a read error.
  // The line stays valid until the next call of next().
  bool next(const char*& line, std::size_t& length) {
    for (;;) {
      if (nextBuffered(line, length)) return true;
      if (ended_ || !fill()) return false;
    }
  }

  // Like next(), but only from what has been read already: false rather than read. Lines that
  // it gives stay valid together until the next call of next().
  bool nextBuffered(const char*& line, std::size_t& length) {
    const char* start = buffer_.data() + begin_;
    const char* stop = buffer_.data() + end_;
    const char* end = LineRule::lineEnd(start, stop);
    // A line that may go on in what is not read yet waits for it.
    if (end == stop && !(ended_ && begin_ < end_)) return false;
    const auto size = static_cast<std::size_t>(end - start);
    begin_ += size + (end != stop ? 1 : 0);
    line = start;
    length = LineRule::keyLength(start, size);
    return true;
  }

  // Whether reading failed: a read error, or a line too long for the memory to be had.
  bool failed() const { return failed_; }
  bool outOfMemory() const { return outOfMemory_; }

 private:
  // Moves the unread part to the front and reads more, growing the buffer for a long line:
  // the buffer's pages move instead of being copied, so a line of n bytes needs at most 2n.
  bool fill() {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (end_ == buffer_.capacity()) {
      // A line's text after its first NUL is dropped anyway: keep none of it, so that a line
      // of NUL bytes without end (/dev/zero) needs no more memory.
      const char* nul = static_cast<const char*>(std::memchr(buffer_.data(), '\0', end_));
      if (nul != nullptr && nul + 1 < buffer_.data() + end_) {
        end_ = static_cast<std::size_t>(nul - buffer_.data()) + 1;
      } else {
        try {
          buffer_.grow(2 * buffer_.capacity());
        } catch (const std::bad_alloc&) {
          // A line longer than memory allows: the input's failure, told by its name.
          outOfMemory_ = failed_ = ended_ = true;
          return false;
        }
      }
    }
    if (beforeRead_ != nullptr) beforeRead_(context_);
    const ssize_t got = internal::readSome(fd_, buffer_.data() + end_, buffer_.capacity() - end_);
    if (got < 0) failed_ = true;
    if (got <= 0) {
      ended_ = true;
      return end_ > 0;
    }
    end_ += static_cast<std::size_t>(got);
    return true;
  }

  int fd_;
  internal::PageArray<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  void (*beforeRead_)(void*);
  void* context_;
  bool ended_ = false;
  bool failed_ = false;
  bool outOfMemory_ = false;
};

}  // namespace Tool
}  // namespace Tessel
