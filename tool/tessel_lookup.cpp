// tessel-lookup: answers queries on an index that tessel-build wrote.
//
// Exit status: 0 when every query was found (or the dump or check succeeded), 1 when some
// query was not found or the check failed, 2 on any error, with one line on standard error.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <tessel/index.h>
#include <tessel/internal/io.h>
#include <tessel/status.h>

#include "failure.h"
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
    "Usage: tessel-lookup [-i] [-p | -P [-m N] | -t N | -s [-l] [-w] [-e]] Index\n"
    "       tessel-lookup -s -w -W Chars [-i] [-l] [-e] Index\n"
    "       tessel-lookup -r | -d | -n | -v Index\n"
    "       tessel-lookup -c Keys Index\n"
    "\n"
    "Index is an index file, or a sharded index: its directory or its MANIFEST. Options may\n"
    "be grouped (-slw), values attached (-m10) and options given before or after Index.\n"
    "Reads queries from standard input, one per line, and answers each on standard output:\n"
    "  (none)  exact match: the value, a tab and the query; -1 when it is not a key\n"
    "  -p      keys that are prefixes of the query, shortest first\n"
    "  -P      keys that begin with the query, in byte order; with -m N, the first N of them\n"
    "          -p and -P print a line with the number of keys (printed), a tab and the query,\n"
    "          then one line per key: its value, a tab and the key\n"
    "  -t N    the N keys that begin with the query with the greatest weights, ties in byte\n"
    "          order: a line with their number, a tab and the query, then value, weight\n"
    "          and key, tab-separated; tessel-weights gives the keys their weights\n"
    "  -s      reads texts and finds the keys that occur in them: for each match, the line\n"
    "          number (from 1), the byte offset in the line (from 0), the value and the key,\n"
    "          separated by tabs, by offset and then shortest first; with -l only the\n"
    "          leftmost-longest ones, which do not overlap; with -w only keys that start and\n"
    "          end at word boundaries (word characters: Unicode's letters, marks, numbers\n"
    "          and _ in UTF-8; bytes that are no UTF-8); -W Chars adds those characters\n"
    "          (-w -W - keeps flask-login one word);\n"
    "          with -e an empty line after each text's matches, so that a program that\n"
    "          writes a text can wait for the end of its answers\n"
    "  -i      (with none, -p, -P, -t or -s) ignores case: a key matches where its\n"
    "          characters equal the query's or text's after Unicode simple case folding;\n"
    "          the keys printed are those stored, each that matches; exact match prints\n"
    "          the value of the first in byte order\n"
    "  -r      reads values: the value, a tab and the key that has it; -1, a tab and the line\n"
    "          when no key has it\n"
    "  -d      prints every key of Index in byte order (value, tab, key); reads no queries\n"
    "  -n      prints the number of keys of Index; reads no queries\n"
    "  -v      checks every byte of Index: each shard of a sharded index against its checksum,\n"
    "          and that the units form a tree; reads no queries\n"
    "  -c      checks that Index holds exactly the keys of the key list Keys (sorted), each\n"
    "          with the position of its first occurrence\n"
    "  -h, --help     this text\n"
    "  --version      the version\n"
    "\n"
    "Exit status: 0 when every query was found (-s: some key was found; or the dump, count or\n"
    "check succeeded), 1 when some query was not found (-s: none) or the check failed, 2 on any\n"
    "error.\n";

// Queries answered together: enough to keep the batched walks busy, few enough to answer a
// reader that waits line by line at once.
constexpr std::size_t kBatch = 1024;
// Input is read in blocks of this size.
constexpr std::size_t kReadBlock = 1 << 20;
// A predictive search whose keys fit in this many bytes is printed from one walk; a larger one
// counts its keys first and then prints them as a second walk finds them.
constexpr std::size_t kHeldPredictions = 1 << 20;

int fail(const char* message, const char* name) {
  return Tessel::Tool::fail(message, name, kError);
}

// Buffered standard output; remembers a failed write, which main reports.
// Its calls are inlined by force: they run once or more per answer, and the compiler left
// them out of line once the scan called them too (1M exact answers: 8 % more time).
class Output {
 public:
  ~Output() { flush(); }
  [[gnu::always_inline]] void put(const char* text, std::size_t length) {
    if (length > kShort) {
      if (used_ + length > sizeof buffer_) flush();
      if (length > sizeof buffer_) {
        writeAll(text, length);
        return;
      }
      std::memcpy(buffer_ + used_, text, length);
    } else {
      // Most keys are short: a loop here costs less than a call of memcpy.
      char* at = room(length);
      for (std::size_t i = 0; i < length; ++i) at[i] = text[i];
    }
    used_ += length;
  }
  [[gnu::always_inline]] void put(char c) {
    *room(1) = c;
    ++used_;
  }
  // The first `length` bytes of a small array: the whole array copied, with no loop (which
  // the compiler makes a call of memcpy) and no branch on the length.
  template <std::size_t N>
  void putShort(const char (&text)[N], std::size_t length) {
    std::memcpy(room(N), text, N);
    used_ += length;
  }
  void put(const char* text) { put(text, std::strlen(text)); }
  // In decimal, here rather than std::to_chars, which stays a call (a scan prints two numbers
  // a match, and the digits took a fifth of its time): below 10^8, all eight digits at once in
  // a word and its last ones stored, with no branch on their count; above, two at a time.
  [[gnu::always_inline]] void number(long long n) {
    char* at = room(kNumber);
    unsigned long long magnitude = static_cast<unsigned long long>(n);
    if (n < 0) {
      *at++ = '-';
      magnitude = 0 - magnitude;
    }
    const std::size_t digits = digitCount(magnitude);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (magnitude < 100000000) {
      const std::uint64_t word =
          eightDigits(static_cast<std::uint32_t>(magnitude)) >> (8 * (8 - digits));
      std::memcpy(at, &word, 8);
      used_ = static_cast<std::size_t>(at + digits - buffer_);
      return;
    }
#endif
    char* const end = at + digits;
    char* p = end;
    while (magnitude >= 100) {
      p -= 2;
      std::memcpy(p, kPairs + 2 * (magnitude % 100), 2);
      magnitude /= 100;
    }
    if (magnitude >= 10) {
      std::memcpy(p - 2, kPairs + 2 * magnitude, 2);
    } else {
      p[-1] = static_cast<char>('0' + magnitude);
    }
    used_ = static_cast<std::size_t>(end - buffer_);
  }
  // A key that lies in the text read, which goes on to `textEnd`: sixteen bytes copied where
  // that many are there, with no loop whose end a branch would mispredict at every match.
  [[gnu::always_inline]] void putFrom(const char* text, std::size_t length, const char* textEnd) {
    if (length <= 16 && textEnd - text >= 16) {
      std::memcpy(room(16), text, 16);
      used_ += length;
    } else {
      put(text, length);
    }
  }
  // One answer line: number, tab, text, newline.
  [[gnu::always_inline]] void line(long long n, const char* text, std::size_t length) {
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
  // Whether a write has failed: nothing more will reach the reader.
  bool failed() const {
    return failed_;
  }

 private:
  void writeAll(const char* data, std::size_t length) {
    if (!failed_ && !Tessel::internal::writeAll(STDOUT_FILENO, data, length)) failed_ = true;
  }

  static constexpr std::size_t kShort = 32;
  static constexpr std::size_t kNumber = 24;
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";

  // The eight decimal digits of n < 10^8, the first in the lowest byte: halves of four digits,
  // each split in two pairs, each pair in two digits, by multiplications that stand for
  // divisions by 100 and 10 in all lanes at once.
  static std::uint64_t eightDigits(std::uint32_t n) {
    const std::uint64_t halves = (n / 10000) | (std::uint64_t{n % 10000} << 32);
    const std::uint64_t high = ((halves * 10486) >> 20) & 0x0000007F0000007Fu;
    const std::uint64_t pairs = ((halves - 100 * high) << 16) + high;
    std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Fu;
    tens += (pairs - 10 * tens) << 8;
    return tens + 0x3030303030303030u;
  }

  // The number of decimal digits of `n`: from its bits, then one comparison.
  static std::size_t digitCount(unsigned long long n) {
    struct Powers {
      unsigned long long of[20] = {};
      constexpr Powers() {
        unsigned long long power = 1;
        for (unsigned long long& each : of) {
          each = power;
          power *= 10;  // wraps past the last, unused
        }
      }
    };
    static constexpr Powers kPowers;
    // log10(2) is about 1233 / 4096: the digits of 2^bits, less one.
    const auto bits = static_cast<std::size_t>(64 - __builtin_clzll(n | 1));
    const std::size_t guess = (bits * 1233) >> 12;
    return guess + 1 - ((n | 1) < kPowers.of[guess] ? 1 : 0);  // 0 has one digit too
  }

  // Where `length` more bytes go, flushing first when the buffer has not that much room.
  [[gnu::always_inline]] char* room(std::size_t length) {
    if (used_ + length > sizeof buffer_) flush();
    return buffer_ + used_;
  }

  char buffer_[1 << 16];
  std::size_t used_ = 0;
  bool failed_ = false;
};

enum class Mode {
  kExact,
  kPrefixes,
  kPredict,
  kTop,
  kScan,
  kRestore,
  kDump,
  kCount,
  kCheck,
  kVerify
};

void flushOutput(void* out) {
  static_cast<Output*>(out)->flush();
}

// Lines of standard input, a batch at a time; answers wait for nothing once input stalls.
class Queries {
 public:
  explicit Queries(Output& out) : out_(out), reader_(STDIN_FILENO, kReadBlock, flushOutput, &out) {}

  // Reads the next lines, up to kBatch; false at the end of the input, or once the answers
  // can no longer be written (endless input must not keep a program without a reader going).
  bool next() {
    lines_.clear();
    lengths_.clear();
    const char* line;
    std::size_t length;
    if (out_.failed() || !reader_.next(line, length)) return false;
    do {
      lines_.push_back(line);
      lengths_.push_back(length);
    } while (lines_.size() < kBatch && reader_.nextBuffered(line, length));
    return true;
  }
  std::size_t size() const { return lines_.size(); }
  const char* const* lines() const { return lines_.data(); }
  const std::size_t* lengths() const { return lengths_.data(); }
  bool failed() const { return reader_.failed(); }
  bool outOfMemory() const { return reader_.outOfMemory(); }

 private:
  Output& out_;
  LineReader reader_;
  std::vector<const char*> lines_;
  std::vector<std::size_t> lengths_;
};

using Tessel::Index;
using Tessel::Status;

// The line of a failed call: its status and the file it names, or `name` when it names none.
int failIndex(const Status& status, const char* name) {
  if (status.code() == Tessel::kIndexCannotOpen && status.error() == ENOMEM) {
    return fail("Out of Memory: ", status.where().empty() ? name : status.where().c_str());
  }
  const std::string what = std::string(Tessel::describeIndexStatus(status.code())) + ": ";
  return fail(what.c_str(), status.where().empty() ? name : status.where().c_str());
}

int endOfQueries(const Queries& queries, bool allFound) {
  if (queries.outOfMemory()) return fail("Out of Memory: ", "standard input");
  if (queries.failed()) return fail("Cannot Read: ", "standard input");
  return allFound ? kAllFound : kSomeMissing;
}

int answerExact(const Index& index, const char* name, bool ignoreCase, Output& out) {
  Queries queries(out);
  std::vector<Index::Value> values;
  bool allFound = true;
  while (queries.next()) {
    values.resize(queries.size());
    Status status;
    if (!ignoreCase) {
      status = index.findMany(queries.size(), queries.lines(), queries.lengths(), values.data());
    }
    for (std::size_t i = 0; ignoreCase && status.ok() && i < queries.size(); ++i) {
      status = index.findIgnoringCase(queries.lines()[i], queries.lengths()[i], values[i]);
      if (status.isNotFound()) {
        values[i] = -1;
        status = Status();
      }
    }
    if (!status.ok()) return failIndex(status, name);
    for (std::size_t i = 0; i < queries.size(); ++i) {
      allFound &= values[i] >= 0;
      out.line(values[i], queries.lines()[i], queries.lengths()[i]);
    }
  }
  return endOfQueries(queries, allFound);
}

int answerPrefixes(const Index& index, const char* name, bool ignoreCase, Output& out) {
  Queries queries(out);
  struct Match {
    std::size_t query, length;
    long long value;
    std::size_t keyAt;  // in `keys` when case is ignored
  };
  std::vector<Match> matches;
  std::string keys;  // the keys as stored, end to end, when case is ignored
  bool allFound = true;
  while (queries.next()) {
    matches.clear();
    keys.clear();
    Status status;
    if (!ignoreCase) {
      status =
          index.commonPrefixesMany(queries.size(), queries.lines(), queries.lengths(),
                                   [&](std::size_t query, std::size_t length, Index::Value value) {
                                     matches.push_back(Match{query, length, value, 0});
                                   });
    }
    for (std::size_t i = 0; ignoreCase && status.ok() && i < queries.size(); ++i) {
      status = index.commonPrefixesIgnoringCase(
          queries.lines()[i], queries.lengths()[i],
          [&](std::size_t, Index::Value value, const std::string& key) {
            matches.push_back(Match{i, key.size(), value, keys.size()});
            keys += key;
          });
    }
    if (!status.ok()) return failIndex(status, name);
    std::size_t m = 0;
    for (std::size_t i = 0; i < queries.size(); ++i) {
      std::size_t end = m;
      while (end < matches.size() && matches[end].query == i) ++end;
      allFound &= end > m;
      const char* query = queries.lines()[i];
      out.line(static_cast<long long>(end - m), query, queries.lengths()[i]);
      for (; m < end; ++m) {
        const char* key = ignoreCase ? keys.data() + matches[m].keyAt : query;
        out.line(matches[m].value, key, matches[m].length);
      }
    }
  }
  return endOfQueries(queries, allFound);
}

// Prints the keys that begin with `query` (at most `limit`) under their count, and sets
// `found` when there was one.
Status predictOne(const Index& index, const char* query, std::size_t length, std::size_t limit,
                  bool ignoreCase, Index::Cursor& cursor, std::string& keys,
                  std::vector<std::pair<std::size_t, long long>>& ends, Output& out, bool& found) {
  auto predict = [&](auto&& onKey) {
    return ignoreCase ? index.predictIgnoringCase(query, length, onKey, limit)
                      : index.predict(query, length, onKey, cursor, limit);
  };
  keys.clear();
  ends.clear();
  bool held = true;
  Status status = predict([&](const std::string& key, Index::Value value) {
    if (keys.size() + key.size() > kHeldPredictions) return held = false;
    keys += key;
    ends.emplace_back(keys.size(), value);
    return true;
  });
  if (!status.ok()) return status;
  if (held) {
    out.line(static_cast<long long>(ends.size()), query, length);
    std::size_t start = 0;
    for (const auto& [end, value] : ends) {
      out.line(value, keys.data() + start, end - start);
      start = end;
    }
    found = !ends.empty();
    return status;
  }
  std::size_t count = 0;
  status = predict([&](const std::string&, Index::Value) {
    ++count;
    return true;
  });
  if (!status.ok()) return status;
  out.line(static_cast<long long>(count), query, length);
  found = count > 0;
  return predict([&](const std::string& key, Index::Value value) {
    out.line(value, key.data(), key.size());
    return true;
  });
}

int answerPredictions(const Index& index, const char* name, std::size_t limit, bool ignoreCase,
                      Output& out) {
  Queries queries(out);
  Index::Cursor cursor;
  std::string keys;  // the keys of one query end to end; `ends` holds where each ends
  std::vector<std::pair<std::size_t, long long>> ends;
  bool allFound = true;
  while (queries.next()) {
    for (std::size_t i = 0; i < queries.size(); ++i) {
      bool found = false;
      const Status status = predictOne(index, queries.lines()[i], queries.lengths()[i], limit,
                                       ignoreCase, cursor, keys, ends, out, found);
      if (!status.ok()) return failIndex(status, name);
      allFound &= found;
    }
  }
  return endOfQueries(queries, allFound);
}

// Prints the n heaviest keys that begin with each query: their number and the query, then
// value, weight and key for each.
int answerTop(const Index& index, const char* name, std::size_t n, bool ignoreCase, Output& out) {
  Queries queries(out);
  struct Ranked {
    long long value;
    std::uint32_t weight;
    std::size_t end;  // of its key in `keys`
  };
  std::vector<Ranked> ranked;
  std::string keys;
  char weight[16];
  bool allFound = true;
  while (queries.next()) {
    for (std::size_t i = 0; i < queries.size(); ++i) {
      ranked.clear();
      keys.clear();
      const Status status = index.top(
          queries.lines()[i], queries.lengths()[i], n,
          [&](const std::string& key, Index::Value value, std::uint32_t w) {
            keys += key;
            ranked.push_back(Ranked{value, w, keys.size()});
          },
          ignoreCase);
      if (!status.ok()) return failIndex(status, name);
      allFound &= !ranked.empty();
      out.line(static_cast<long long>(ranked.size()), queries.lines()[i], queries.lengths()[i]);
      std::size_t start = 0;
      for (const Ranked& r : ranked) {
        out.number(r.value);
        out.put('\t');
        char* end = std::to_chars(weight, weight + sizeof weight - 1, r.weight).ptr;
        *end++ = '\t';
        out.putShort(weight, static_cast<std::size_t>(end - weight));
        out.put(keys.data() + start, r.end - start);
        out.put('\n');
        start = r.end;
      }
    }
  }
  return endOfQueries(queries, allFound);
}

// Finds the keys that occur in each line of standard input, a text, and prints each match:
// line number, offset, value and key. Lines that lie end to end in the reader's buffer are
// scanned as one text of lines, so that a short line costs no scan of its own.
int answerScans(const Index& index, const char* name, Tessel::ScanOptions options, bool endMarks,
                Output& out) {
  Queries queries(out);
  Index::Scanner scanner;
  options.lines = true;
  bool anyFound = false;
  // The line's number and a tab, written once for its matches and counted up in place: most
  // lines change one digit (a scan of short lines paid a conversion for each).
  char number[24] = {'0', '\t'};
  std::size_t numberLength = 2;
  while (queries.next()) {
    const char* const* lines = queries.lines();
    const std::size_t* lengths = queries.lengths();
    for (std::size_t first = 0; first < queries.size();) {
      // The run of lines from `first` that follow each other, one '\n' apart.
      std::size_t last = first;
      while (last + 1 < queries.size() && lines[last + 1] == lines[last] + lengths[last] + 1) {
        ++last;
      }
      const char* text = lines[first];
      const char* const textEnd = lines[last] + lengths[last];
      scanner.reset(index, text, static_cast<std::size_t>(textEnd - text), options);
      // Matches come in order of position: the lines before each are done with first.
      std::size_t at = first;
      auto enter = [&] {
        std::size_t digit = numberLength - 1;  // past the last digit, at the tab
        while (digit > 0 && number[digit - 1] == '9') number[--digit] = '0';
        if (digit > 0) {
          ++number[digit - 1];
        } else {
          std::memmove(number + 1, number, numberLength++);
          number[0] = '1';
        }
      };
      enter();
      while (scanner.next()) {
        const char* match = text + scanner.position();
        while (match > lines[at] + lengths[at]) {
          if (endMarks) out.put('\n');
          ++at;
          enter();
        }
        anyFound = true;
        out.putShort(number, numberLength);
        out.number(static_cast<long long>(match - lines[at]));
        out.put('\t');
        // The key as stored: the text it covers, unless case is ignored.
        const std::string_view key = scanner.key();
        out.number(scanner.value());
        out.put('\t');
        if (options.ignoreCase) {
          out.put(key.data(), key.size());
        } else {
          out.putFrom(key.data(), key.size(), textEnd);
        }
        out.put('\n');
      }
      if (!scanner.status().ok()) return failIndex(scanner.status(), name);
      for (; at < last; ++at) {
        if (endMarks) out.put('\n');
        enter();
      }
      // The end of this text's answers, for a program that waits for them.
      if (endMarks) out.put('\n');
      first = last + 1;
    }
  }
  return endOfQueries(queries, anyFound);
}

// A value as the index holds them: decimal digits, 0 to 2^63 - 1.
bool parseValue(const char* text, std::size_t length, Index::Value& value) {
  if (length == 0 || text[0] < '0' || text[0] > '9') return false;
  const auto result = std::from_chars(text, text + length, value);
  return result.ec == std::errc() && result.ptr == text + length;
}

int answerValues(const Index& index, const char* name, Output& out) {
  Queries queries(out);
  std::string key;
  bool allFound = true;
  while (queries.next()) {
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const char* line = queries.lines()[i];
      const std::size_t length = queries.lengths()[i];
      Index::Value value;
      Status status = Status::notFound();
      if (parseValue(line, length, value)) status = index.restoreKey(value, key);
      if (status.failed()) return failIndex(status, name);
      if (status.ok()) {
        out.line(value, key.data(), key.size());
      } else {
        allFound = false;
        out.line(-1, line, length);
      }
    }
  }
  return endOfQueries(queries, allFound);
}

int dump(const Index& index, const char* name, Output& out) {
  const Status status = index.forEach([&](const std::string& key, Index::Value value) {
    out.line(value, key.data(), key.size());
    return !out.failed();
  });
  return status.ok() ? kAllFound : failIndex(status, name);
}

// Checks that the index holds exactly the keys of the key list, each with the position of its
// first occurrence; the list must be sorted as tessel-build takes it.
int check(const Index& index, const char* keysName, const char* indexName, Output& out) {
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
    const int order = position == 0 ? -1 : previous.compare(0, std::string::npos, key, length);
    if (order > 0) {
      // A key after a greater one: the list is not what tessel-build takes.
      out.put("line ");
      out.number(position + 1);
      out.put(": out of order: ");
      out.put(key, length);
      out.put('\n');
      status = kSomeMissing;
      break;
    }
    if (order != 0) {
      previous.assign(key, length);
      expected = position;
      ++distinct;
    }
    Index::Value value = -1;
    const Status found = index.find(key, length, value);
    if (found.failed()) {
      status = failIndex(found, indexName);
      break;
    }
    if (!found.ok() || value != expected) {
      out.put("line ");
      out.number(position + 1);
      out.put(": expected ");
      out.number(expected);
      out.put(", found ");
      out.number(found.ok() ? value : -1);
      out.put(": ");
      out.put(key, length);
      out.put('\n');
      status = kSomeMissing;
      break;
    }
  }
  const bool readFailed = keys.failed(), outOfMemory = keys.outOfMemory();
  if (fd != STDIN_FILENO) ::close(fd);
  if (outOfMemory) return fail("Out of Memory: ", keysName);
  if (readFailed) return fail("Cannot Read: ", keysName);
  if (status != kAllFound) return status;
  long long held = 0;
  const Status walked = index.forEach([&](const std::string&, Index::Value) { ++held; });
  if (!walked.ok()) return failIndex(walked, indexName);
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

// The number of keys: of one index, counted by the walk that a dump takes, so that a damaged
// one is Corrupt Index here as there; of a sharded index, as its manifest gives them (-v
// checks them against the shards).
int count(const Index& index, const char* name, Output& out) {
  std::size_t keys = 0;
  const Status status = index.countKeys(keys);
  if (!status.ok()) return failIndex(status, name);
  out.number(static_cast<long long>(keys));
  out.put('\n');
  return kAllFound;
}

// Checks every byte of the index: a sharded index's shards against their checksums and the
// manifest's numbers, and every shard's walk; one index's walk, which must meet no unit twice.
int verify(const Index& index, const char* name, Output& out) {
  const Status status = index.verify();
  if (!status.ok()) return failIndex(status, name);
  if (index.sharded()) {
    out.number(static_cast<long long>(index.shards()->shardCount()));
    out.put(" shards verified\n");
  } else {
    out.put("index verified\n");
  }
  return kAllFound;
}

// A command line that does not fit: one line that says what is wrong.
int usage(const std::string& what) {
  const std::string line = "Usage: tessel-lookup: " + what + " (tessel-lookup --help tells more)\n";
  (void)std::fputs(line.c_str(), stderr);
  return kError;
}

// Writes `text` to standard output, as --help and --version do.
int print(const char* text) {
  if (std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0) return kAllFound;
  return fail("Cannot Write: ", "standard output");
}

struct Options {
  Mode mode = Mode::kExact;
  char modeLetter = 0;  // the option that chose the mode
  Tessel::ScanOptions scan;
  bool endMarks = false;   // -e: an empty line after each text's matches
  bool wordChars = false;  // -W given
  std::size_t limit = std::numeric_limits<std::size_t>::max();
  bool limited = false;
  std::size_t top = 0;  // -t N
  const char* keys = nullptr;
  const char* index = nullptr;
  bool help = false;
  bool version = false;
};

// Sets `count` to the decimal number `value` (may be null): false unless it is one from 1.
bool parseCount(const char* value, std::size_t& count) {
  if (value == nullptr) return false;
  const char* end = value + std::strlen(value);
  const auto parsed = std::from_chars(value, end, count);
  // More than any index holds is as many as there are.
  if (parsed.ec == std::errc::result_out_of_range && parsed.ptr == end) {
    count = std::numeric_limits<std::size_t>::max();
    return true;
  }
  return parsed.ec == std::errc() && parsed.ptr == end && count != 0;
}

// Reads the command line as getopt does: letters grouped (-sl), values attached (-m10) or
// apart (-m 10), options before or after Index, "--" ending them. Returns "" or what is wrong.
std::string parseOptions(int argc, char** argv, Options& options) {
  std::vector<const char*> operands;
  bool optionsEnd = false;
  char lOrW = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (optionsEnd || argument.size() < 2 || argument[0] != '-') {
      operands.push_back(argv[i]);
      continue;
    }
    if (argument == "--") {
      optionsEnd = true;
      continue;
    }
    if (argument == "--help") {
      options.help = true;
      continue;
    }
    if (argument == "--version") {
      options.version = true;
      continue;
    }
    if (argument[1] == '-') return "unknown option " + argument;
    for (std::size_t k = 1; k < argument.size(); ++k) {
      const char letter = argument[k];
      const std::string named = std::string("-") + letter;
      // -m, -t, -c and -W take a value: the rest of this word, or the next one.
      if (letter == 'm' || letter == 't' || letter == 'c' || letter == 'W') {
        const char* value = nullptr;
        if (k + 1 < argument.size()) {
          value = argv[i] + k + 1;
        } else if (i + 1 < argc) {
          value = argv[++i];
        }
        if (letter == 'm' || letter == 't') {
          std::size_t& count = letter == 'm' ? options.limit : options.top;
          if (!parseCount(value, count)) return named + " needs a number from 1";
          options.limited |= letter == 'm';
        } else if (letter == 'W') {
          if (value == nullptr) return "-W needs characters";
          options.scan.wordChars = value;  // argv's: it lasts
          options.wordChars = true;
        } else {
          if (value == nullptr) return "-c needs a key list";
          options.keys = value;
        }
        if (letter == 'c' || letter == 't') {
          if (options.modeLetter != 0 && options.modeLetter != letter) {
            return "-" + std::string(1, options.modeLetter) + " and -" + std::string(1, letter) +
                   " cannot go together";
          }
          options.mode = letter == 'c' ? Mode::kCheck : Mode::kTop;
          options.modeLetter = letter;
        }
        break;
      }
      Mode mode;
      switch (letter) {
        case 'p':
          mode = Mode::kPrefixes;
          break;
        case 'P':
          mode = Mode::kPredict;
          break;
        case 's':
          mode = Mode::kScan;
          break;
        case 'r':
          mode = Mode::kRestore;
          break;
        case 'd':
          mode = Mode::kDump;
          break;
        case 'n':
          mode = Mode::kCount;
          break;
        case 'v':
          mode = Mode::kVerify;
          break;
        case 'h':
          options.help = true;
          continue;
        case 'l':
          options.scan.longest = true;
          lOrW = lOrW == 0 ? 'l' : lOrW;
          continue;
        case 'w':
          options.scan.words = true;
          lOrW = lOrW == 0 ? 'w' : lOrW;
          continue;
        case 'e':
          options.endMarks = true;
          continue;
        case 'i':
          options.scan.ignoreCase = true;
          continue;
        default:
          return "unknown option " + named;
      }
      if (options.modeLetter != 0 && options.modeLetter != letter) {
        return "-" + std::string(1, options.modeLetter) + " and " + named + " cannot go together";
      }
      options.mode = mode;
      options.modeLetter = letter;
    }
  }
  if (options.help || options.version) return "";
  if (lOrW != 0 && options.mode != Mode::kScan) return "-" + std::string(1, lOrW) + " needs -s";
  if (options.endMarks && options.mode != Mode::kScan) return "-e needs -s";
  if (options.wordChars && !options.scan.words) return "-W needs -w";
  if (options.limited && options.mode != Mode::kPredict) return "-m needs -P";
  if (options.scan.ignoreCase && options.mode != Mode::kExact && options.mode != Mode::kPrefixes &&
      options.mode != Mode::kPredict && options.mode != Mode::kTop && options.mode != Mode::kScan) {
    return "-" + std::string(1, options.modeLetter) + " and -i cannot go together";
  }
  if (operands.empty()) return "no Index given";
  if (operands.size() > 1) {
    return std::string("one Index only, not also ") + operands[1] +
           ": queries and texts are read from standard input";
  }
  options.index = operands[0];
  return "";
}

int run(const Options& options, Output& out) {
  Index index;
  const char* name = options.index;
  const Status opened = index.open(name);
  if (!opened.ok()) return failIndex(opened, name);
  switch (options.mode) {
    case Mode::kExact:
      return answerExact(index, name, options.scan.ignoreCase, out);
    case Mode::kPrefixes:
      return answerPrefixes(index, name, options.scan.ignoreCase, out);
    case Mode::kPredict:
      return answerPredictions(index, name, options.limit, options.scan.ignoreCase, out);
    case Mode::kTop:
      return answerTop(index, name, options.top, options.scan.ignoreCase, out);
    case Mode::kScan:
      return answerScans(index, name, options.scan, options.endMarks, out);
    case Mode::kRestore:
      return answerValues(index, name, out);
    case Mode::kDump:
      return dump(index, name, out);
    case Mode::kCount:
      return count(index, name, out);
    case Mode::kCheck:
      return check(index, options.keys, name, out);
    case Mode::kVerify:
      return verify(index, name, out);
  }
  return kError;
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write fails and is reported like any other.
  (void)std::signal(SIGXFSZ, SIG_IGN);
  Options options;
  const std::string wrong = parseOptions(argc, argv, options);
  if (!wrong.empty()) return usage(wrong);
  if (options.help) return print(kUsage);
  if (options.version) return print("tessel-lookup " TESSEL_VERSION "\n");
  try {
    Tessel::Tool::reportShrinkingIndex(options.index, kError);
    Output out;
    const int status = run(options, out);
    if (!out.flush()) return fail("Cannot Write: ", "standard output");
    return status;
  } catch (const std::bad_alloc&) {
    return fail("Out of Memory: ", options.index);
  }
}
