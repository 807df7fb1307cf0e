#pragma once

// How tessel-lookup reads queries and key lists: line by line, with the key list's rules.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

namespace Tessel {
namespace Tool {

// Lines of a file descriptor, with the key list's rules: a line ends at '\n'; a last line
// without one counts; the text after a line's first NUL byte is dropped.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buffer_(1 << 16) {}

  // Sets line and length to the next line; false at the end of the input or on a read error.
  bool next(const char*& line, std::size_t& length) {
    for (;;) {
      const char* start = buffer_.data() + begin_;
      const char* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
      if (newline != nullptr || (ended_ && begin_ < end_)) {
        const std::size_t size =
            newline ? static_cast<std::size_t>(newline - start) : end_ - begin_;
        begin_ += size + (newline ? 1 : 0);
        line = start;
        const void* nul = std::memchr(start, '\0', size);
        length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - start) : size;
        return true;
      }
      if (ended_ || !fill()) return false;
    }
  }

  bool failed() const { return failed_; }

 private:
  // Moves the unread part to the front and reads more, growing the buffer for a long line.
  bool fill() {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (end_ == buffer_.size()) buffer_.resize(2 * buffer_.size());
    for (;;) {
      const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) failed_ = true;
      if (got <= 0) {
        ended_ = true;
        return end_ > 0;
      }
      end_ += static_cast<std::size_t>(got);
      return true;
    }
  }

  int fd_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

}  // namespace Tool
}  // namespace Tessel
