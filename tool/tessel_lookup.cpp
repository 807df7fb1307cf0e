// tessel-lookup: answers queries on an index that tessel-build wrote.
//
// Exit status: 0 when every query was found (or the dump or check succeeded), 1 when some
// query was not found or the check failed, 2 on any error, with one line on standard error.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <tessel/index_view.h>

#include "line_reader.h"

#ifndef TESSEL_VERSION
#define TESSEL_VERSION "unknown"
#endif

namespace {

using Tessel::Tool::LineReader;

constexpr int kAllFound = 0;
constexpr int kSomeMissing = 1;
constexpr int kError = 2;

constexpr char kUsage[] =
    "Usage: tessel-lookup [-p | -P | -d] Index\n"
    "       tessel-lookup -c Keys Index\n"
    "\n"
    "Reads queries from standard input, one per line, and answers each on standard output:\n"
    "  (none)  exact match: the value, a tab and the query; -1 when it is not a key\n"
    "  -p      keys that are prefixes of the query, shortest first\n"
    "  -P      keys that begin with the query, in byte order\n"
    "          -p and -P print a line with the number of keys, a tab and the query, then one\n"
    "          line per key: its value, a tab and the key\n"
    "  -d      prints every key of Index in byte order (value, tab, key); reads no queries\n"
    "  -c      checks that Index holds exactly the keys of the key list Keys, each with the\n"
    "          position of its first occurrence\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "\n"
    "Exit status: 0 when every query was found (or the dump or check succeeded), 1 when some\n"
    "query was not found or the check failed, 2 on any error.\n";

// A message that cannot be written has nowhere else to go; the status still tells.
int fail(const char* message, const char* name) {
  (void)std::fprintf(stderr, "%s%s\n", message, name);
  return kError;
}

// Buffered standard output; remembers a failed write, which main reports.
class Output {
 public:
  ~Output() { flush(); }
  void put(const char* text, std::size_t length) {
    if (used_ + length > sizeof buffer_) flush();
    if (length > sizeof buffer_) {
      writeAll(text, length);
      return;
    }
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
  }
  void put(char c) { put(&c, 1); }
  void put(const char* text) { put(text, std::strlen(text)); }
  void number(long long n) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, n);
    put(text, static_cast<std::size_t>(result.ptr - text));
  }
  // One answer line: number, tab, text, newline.
  void line(long long n, const char* text, std::size_t length) {
    number(n);
    put('\t');
    put(text, length);
    put('\n');
  }
  bool flush() {
    writeAll(buffer_, used_);
    used_ = 0;
    return !failed_;
  }

 private:
  void writeAll(const char* data, std::size_t length) {
    while (length > 0 && !failed_) {
      const ssize_t written = ::write(STDOUT_FILENO, data, length);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        failed_ = true;
        break;
      }
      data += written;
      length -= static_cast<std::size_t>(written);
    }
  }

  char buffer_[1 << 16];
  std::size_t used_ = 0;
  bool failed_ = false;
};

enum class Mode { kExact, kPrefixes, kPredict, kDump, kCheck };

// Answers the queries of standard input; returns the exit status.
int answerQueries(const Tessel::IndexView& index, Mode mode, Output& out) {
  LineReader queries(STDIN_FILENO);
  const char* query;
  std::size_t length;
  bool allFound = true;
  std::vector<std::pair<std::size_t, std::int32_t>> matches;
  std::string keys;
  Tessel::IndexView::Scratch scratch;
  while (queries.next(query, length)) {
    if (mode == Mode::kExact) {
      std::int32_t value = -1;
      allFound &= index.find(query, length, value);
      out.line(value, query, length);
      continue;
    }
    matches.clear();
    keys.clear();
    std::size_t count;
    if (mode == Mode::kPrefixes) {
      count = index.commonPrefixes(query, length, [&](std::size_t prefix, std::int32_t value) {
        matches.emplace_back(prefix, value);
      });
    } else {
      // Keys are laid end to end in `keys`; matches hold their ends.
      count = index.predict(
          query, length,
          [&](const std::string& key, std::int32_t value) {
            keys += key;
            matches.emplace_back(keys.size(), value);
          },
          scratch);
    }
    allFound &= count > 0;
    out.line(static_cast<long long>(count), query, length);
    std::size_t start = 0;
    for (const auto& [end, value] : matches) {
      if (mode == Mode::kPrefixes) {
        out.line(value, query, end);
      } else {
        out.line(value, keys.data() + start, end - start);
        start = end;
      }
    }
  }
  if (queries.failed()) return fail("Cannot Read: ", "standard input");
  return allFound ? kAllFound : kSomeMissing;
}

int dump(const Tessel::IndexView& index, const char* name, Output& out) {
  const int status = index.forEach(
      [&](const std::string& key, std::int32_t value) { out.line(value, key.data(), key.size()); });
  if (status != Tessel::IndexView::kOk) return fail("Corrupt Index: ", name);
  return kAllFound;
}

// Checks that the index holds exactly the keys of the key list, each with the position of its
// first occurrence (equal keys follow each other in a sorted list).
int check(const Tessel::IndexView& index, const char* keysName, const char* indexName,
          Output& out) {
  const int fd =
      std::strcmp(keysName, "-") == 0 ? STDIN_FILENO : ::open(keysName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("Cannot Open: ", keysName);
  LineReader keys(fd);
  const char* key;
  std::size_t length;
  std::string previous;
  long long position = 0, expected = -1, distinct = 0;
  int status = kAllFound;
  for (; keys.next(key, length); ++position) {
    if (position == 0 || previous.compare(0, std::string::npos, key, length) != 0) {
      previous.assign(key, length);
      expected = position;
      ++distinct;
    }
    std::int32_t value = -1;
    if (!index.find(key, length, value) || value != expected) {
      out.put("line ");
      out.number(position + 1);
      out.put(": expected ");
      out.number(expected);
      out.put(", found ");
      out.number(value);
      out.put(": ");
      out.put(key, length);
      out.put('\n');
      status = kSomeMissing;
      break;
    }
  }
  const bool readFailed = keys.failed();
  if (fd != STDIN_FILENO) ::close(fd);
  if (readFailed) return fail("Cannot Read: ", keysName);
  if (status != kAllFound) return status;
  long long held = 0;
  if (index.forEach([&](const std::string&, std::int32_t) { ++held; }) != Tessel::IndexView::kOk) {
    return fail("Corrupt Index: ", indexName);
  }
  if (held != distinct) {
    out.put("index holds ");
    out.number(held);
    out.put(" keys, the list ");
    out.number(distinct);
    out.put(" distinct keys\n");
    return kSomeMissing;
  }
  out.number(position);
  out.put(" keys checked\n");
  return kAllFound;
}

int openIndex(Tessel::IndexView& index, const char* name) {
  switch (index.open(name)) {
    case Tessel::IndexView::kOk:
      return kAllFound;
    case Tessel::IndexView::kNotAnIndex:
      return fail("Not an Index: ", name);
    default:
      return fail("Cannot Open: ", name);
  }
}

int usage() {
  (void)std::fputs(kUsage, stderr);
  return kError;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (argc == 2 && (first == "-h" || first == "--help")) {
    return std::fputs(kUsage, stdout) >= 0 && std::fflush(stdout) == 0 ? kAllFound : kError;
  }
  if (argc == 2 && first == "--version") {
    return std::printf("tessel-lookup %s\n", TESSEL_VERSION) > 0 && std::fflush(stdout) == 0
               ? kAllFound
               : kError;
  }
  Mode mode = Mode::kExact;
  if (first == "-p") mode = Mode::kPrefixes;
  if (first == "-P") mode = Mode::kPredict;
  if (first == "-d") mode = Mode::kDump;
  if (first == "-c") mode = Mode::kCheck;
  const int wanted = mode == Mode::kExact ? 2 : mode == Mode::kCheck ? 4 : 3;
  if (argc != wanted ||
      (mode == Mode::kExact && !first.empty() && first[0] == '-' && first != "-")) {
    return usage();
  }

  const char* indexName = argv[argc - 1];
  Tessel::IndexView index;
  if (openIndex(index, indexName) != kAllFound) return kError;
  Output out;
  int status;
  switch (mode) {
    case Mode::kDump:
      status = dump(index, indexName, out);
      break;
    case Mode::kCheck:
      status = check(index, argv[2], indexName, out);
      break;
    default:
      status = answerQueries(index, mode, out);
  }
  if (!out.flush()) return fail("Cannot Write: ", "standard output");
  return status;
}
