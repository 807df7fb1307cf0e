// tessel-build: compiles a sorted key list, one key per line, into a double-array index file.
//
// Exit status: 0 on success, 255 on any failure, with one line on standard error.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>

#include <tessel/double_array.h>
#include <tessel/page_array.h>

namespace {

constexpr int kFailure = -1;
constexpr int kBarWidth = 43;
constexpr char kProgressBar[kBarWidth + 1] = "*******************************************";

// The percentage last drawn; a first call at 0 % therefore draws nothing.
int lastPercent = 0;

// Redraws the progress bar on standard output whenever the whole percentage changes.
int showProgress(std::size_t current, std::size_t total) {
  const int percent = static_cast<int>(100.0 * static_cast<double>(current) / total);
  if (percent != lastPercent) {
    const int barLength = static_cast<int>(static_cast<double>(current) * kBarWidth / total);
    std::printf("Making Double Array: %3d%% |%.*s%*s| ", percent, barLength, kProgressBar,
                kBarWidth - barLength, "");
    std::putchar(percent == 100 ? '\n' : '\r');
    std::fflush(stdout);
  }
  lastPercent = percent;
  return 1;
}

int fail(const char* message, const char* name) {
  std::fprintf(stderr, "%s%s\n", message, name);
  std::fflush(stderr);
  return kFailure;
}

enum class ReadStatus { kOk, kCannotOpen, kCannotRead };

// The whole key list in one buffer; each key is a line of it, its newline replaced by NUL.
struct KeyList {
  Tessel::PageArray<char> text;
  std::size_t textSize = 0;
  Tessel::PageArray<const char*> keys;
  std::size_t keyCount = 0;
};

// Reads fd to its end into list.text, followed by one NUL byte.
bool readToEnd(int fd, std::size_t sizeHint, KeyList& list) {
  constexpr std::size_t kMinBuffer = std::size_t{1} << 16;
  list.text.grow(std::max(sizeHint + 1, kMinBuffer));
  std::size_t used = 0;
  for (;;) {
    // Keep room for the NUL byte after the text.
    if (used + 1 >= list.text.capacity()) list.text.grow(2 * list.text.capacity());
    const ssize_t got = ::read(fd, list.text.data() + used, list.text.capacity() - used - 1);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  list.text[used] = '\0';
  list.textSize = used;
  return true;
}

// Cuts the text into lines. A final line without a newline is a key; nothing after the last
// newline is. A key ends at its first NUL byte, which the builder's length rule gives for free.
void splitLines(KeyList& list) {
  char* line = list.text.data();
  char* const end = line + list.textSize;
  std::size_t count = 0;
  while (line < end) {
    if (count == list.keys.capacity()) list.keys.grow(2 * count + 4096);
    list.keys[count++] = line;
    char* newline = static_cast<char*>(std::memchr(line, '\n', end - line));
    if (newline == nullptr) break;
    *newline = '\0';
    line = newline + 1;
  }
  list.keyCount = count;
}

// Loads the key list from the file `name`, or from standard input when it is "-".
ReadStatus readKeys(const char* name, KeyList& list) {
  const bool isStdin = std::strcmp(name, "-") == 0;
  const int fd = isStdin ? STDIN_FILENO : ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ReadStatus::kCannotOpen;
  struct stat st;
  ReadStatus status = ReadStatus::kOk;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    status = ReadStatus::kCannotOpen;
  } else {
    const std::size_t hint = S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0;
    if (!readToEnd(fd, hint, list)) status = ReadStatus::kCannotRead;
  }
  if (!isStdin) ::close(fd);
  if (status == ReadStatus::kOk) splitLines(list);
  return status;
}

int buildIndex(const char* file, const char* index) {
  Tessel::DoubleArray trie;
  try {
    KeyList list;
    switch (readKeys(file, list)) {
      case ReadStatus::kCannotOpen:
        return fail("Cannot Open: ", file);
      case ReadStatus::kCannotRead:
        return fail("Cannot Read: ", file);
      case ReadStatus::kOk:
        break;
    }
    const int status = trie.build(list.keyCount, list.keys.data(), nullptr, nullptr, showProgress);
    // The keys are not needed past the build; the pages they free can take the index file.
    list = KeyList();
    if (status != 0 || trie.save(index) != 0) {
      return fail("Error: cannot build double array  ", file);
    }
  } catch (const std::bad_alloc&) {
    return fail("Error: cannot build double array  ", file);
  }
  std::printf("Done!, Compression Ratio: %g %%\n",
              100.0 * static_cast<double>(trie.occupiedCount()) / trie.size());
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return fail("Cannot Write: ", "standard output");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit, a write should fail and be reported rather than kill the process.
  std::signal(SIGXFSZ, SIG_IGN);
  if (argc < 3) {
    std::fprintf(stderr, "Usage: %s File Index\n", argc > 0 && argv[0] ? argv[0] : "tessel-build");
    return kFailure;
  }
  return buildIndex(argv[argc - 2], argv[argc - 1]);
}
