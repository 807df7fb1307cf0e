#pragma once

// The manifest of a sharded index: its format, its one reader and its text. A sharded index
// is a directory of ordinary index files, the shards, each holding one contiguous range of the
// sorted keys, and this manifest, a text file named MANIFEST that lists them in key order:
//
//   tessel-shards 1
//   generation G
//   shard file=NAME keys=K lines=L base=B bytes=S crc32c=C first=F last=T
//   ...
//   end N
//
// NAME is a plain file name in the directory; K the shard's distinct keys; a key's value is
// B plus its value in the shard, which lies below L; S the file's size and C the CRC-32C of its
// bytes, in eight hex digits; F and T the shard's first and last key, bytes outside '!' to '~'
// and '%' written as %HH. N counts the shard lines. The first shard's base is 0 and each
// next one's is the one before plus its lines. The manifest is written last, atomically
// (tessel/shard_directory.h, the directory's owner, writes it), so that it names whole shards
// only. This header reads; it writes no file.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <tessel/format.h>
#include <tessel/internal/io.h>
#include <tessel/status.h>

namespace Tessel {

constexpr char kManifestName[] = "MANIFEST";
// A manifest larger than this is not one.
constexpr std::size_t kLargestManifest = std::size_t{1} << 30;

struct ShardEntry {
  std::string file;
  std::uint64_t keys = 0;
  std::uint64_t lines = 0;
  std::uint64_t base = 0;
  std::uint64_t bytes = 0;
  std::uint32_t crc32c = 0;
  std::string first;
  std::string last;
};

struct Manifest {
  std::string generation;
  std::vector<ShardEntry> shards;
};

namespace internal {

constexpr char kManifestMagic[] = "tessel-shards 1\n";

inline void escapeKey(const std::string& key, std::string& out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > ' ' && byte < 0x7F && byte != '%') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
}

inline int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

inline bool unescapeKey(const char* text, std::size_t size, std::string& key) {
  key.clear();
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte <= ' ' || byte >= 0x7F) return false;
    if (byte != '%') {
      key += text[i];
      continue;
    }
    const int high = i + 1 < size ? hexDigit(text[i + 1]) : -1;
    const int low = i + 2 < size ? hexDigit(text[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    key += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

// A decimal number of 1 to 19 digits, no sign.
inline bool parseNumber(const char* text, std::size_t size, std::uint64_t& value) {
  if (size == 0 || size > 19) return false;
  value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return true;
}

// A name a shard may have: letters, digits, '.', '-', '_', not "." or "..", so that it names
// a file in the directory and nothing else.
inline bool plainName(const char* name, std::size_t size) {
  if (size == 0 || size > 255) return false;
  if (name[0] == '.' && (size == 1 || (size == 2 && name[1] == '.'))) return false;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
          c == '-' || c == '_')) {
      return false;
    }
  }
  return true;
}
inline bool plainName(const std::string& name) {
  return plainName(name.data(), name.size());
}

// Reads a manifest line by line, checking each as it comes, so that what a damaged file costs
// is bounded by what it holds before its first wrong line.
class ManifestParser {
 public:
  explicit ManifestParser(Manifest& manifest) : manifest_(manifest) { manifest_ = Manifest(); }

  // Takes the next line, without its newline. Returns "" or what is wrong ("line N: why");
  // after a wrong line the parse is over.
  std::string line(const char* text, std::size_t size) {
    ++number_;
    if (ended_) return where("text after the end");
    if (number_ == 1) {
      const std::size_t magic = sizeof kManifestMagic - 2;
      if (size != magic || std::memcmp(text, kManifestMagic, magic) != 0) {
        return where("not a version 1 manifest");
      }
      return "";
    }
    if (number_ == 2) {
      if (size < 12 || std::memcmp(text, "generation ", 11) != 0 ||
          !plainName(text + 11, size - 11)) {
        return where("no generation");
      }
      manifest_.generation.assign(text + 11, size - 11);
      return "";
    }
    if (size >= 4 && std::memcmp(text, "end ", 4) == 0) {
      std::uint64_t count;
      if (!parseNumber(text + 4, size - 4, count) || count != manifest_.shards.size()) {
        return where("the count at the end is not the number of shards");
      }
      ended_ = true;
      return "";
    }
    if (size < 6 || std::memcmp(text, "shard ", 6) != 0)
      return where("neither a shard nor the end");
    return shard(text, size);
  }

  // Takes a last line that the text ends inside, with no newline: every line of a manifest
  // ends in one, so this one was cut short or follows the end. Returns what is wrong.
  std::string lastLine(const char* text, std::size_t size) {
    std::string why = line(text, size);
    return why.empty() ? where("the file ends inside this line") : why;
  }

  // Whether the end line has come.
  bool ended() const { return ended_; }
  // What is wrong with a text that stops here: "" when it has ended.
  std::string finish() const {
    if (ended_) return "";
    if (number_ == 0) return "line 1: not a version 1 manifest";
    if (number_ == 1) return "line 2: no generation";
    return "line " + std::to_string(number_) + ": no end";
  }

 private:
  std::string where(const std::string& why) const {
    return "line " + std::to_string(number_) + ": " + why;
  }

  std::string shard(const char* text, std::size_t size) {
    static const char* const kNames[] = {"file",  "keys",   "lines", "base",
                                         "bytes", "crc32c", "first", "last"};
    ShardEntry shard;
    std::uint64_t* numbers[] = {nullptr, &shard.keys, &shard.lines, &shard.base, &shard.bytes};
    std::size_t at = 6;
    for (std::size_t f = 0; f < 8; ++f) {
      const char* name = kNames[f];
      const std::size_t nameLength = std::strlen(name);
      const void* space = at < size ? std::memchr(text + at, ' ', size - at) : nullptr;
      const std::size_t end =
          space == nullptr ? size
                           : static_cast<std::size_t>(static_cast<const char*>(space) - text);
      if (end - at <= nameLength || std::memcmp(text + at, name, nameLength) != 0 ||
          text[at + nameLength] != '=') {
        return where(std::string("no ") + name + "= where it belongs");
      }
      const char* value = text + at + nameLength + 1;
      const std::size_t length = end - at - nameLength - 1;
      bool ok = true;
      if (f == 0) {
        ok = plainName(value, length);
        shard.file.assign(value, length);
      } else if (f == 5) {
        std::uint64_t crc = 0;
        ok = length == 8;
        for (std::size_t i = 0; ok && i < length; ++i) {
          const int digit = hexDigit(value[i]);
          ok = digit >= 0;
          crc = crc * 16 + static_cast<std::uint64_t>(ok ? digit : 0);
        }
        shard.crc32c = static_cast<std::uint32_t>(crc);
      } else if (f >= 6) {
        ok = unescapeKey(value, length, f == 6 ? shard.first : shard.last);
      } else {
        ok = parseNumber(value, length, *numbers[f]);
      }
      if (!ok) return where(std::string(name) + "= is not " + what(f));
      if (space == nullptr && f != 7) return where("fields missing");
      at = end + 1;
    }
    if (at != size + 1) return where("text after the last field");
    const std::uint64_t units = shard.bytes / Format::kUnitBytes;
    if (shard.bytes % Format::kUnitBytes != 0 || units < Format::kMinUnits ||
        units > Format::kMaxUnits + Format::kTailUnits) {
      return where("bytes= is no index's size (whole units of 8 bytes, 258 or more)");
    }
    if (shard.keys == 0 || shard.keys > units || shard.keys > shard.lines ||
        shard.lines > std::uint64_t{1} << 31) {
      return where(
          "keys= and lines= no shard has (1 <= keys <= lines <= 2**31, keys within the units)");
    }
    if (shard.first > shard.last) return where("the first key comes after the last");
    if (!manifest_.shards.empty() && manifest_.shards.back().last >= shard.first) {
      return where("the range does not come after the one before");
    }
    if (shard.base < valuesEnd_ ||
        shard.base >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - shard.lines) {
      return where("values overlap the shard before or pass the largest 64-bit value");
    }
    valuesEnd_ = shard.base + shard.lines;
    manifest_.shards.push_back(std::move(shard));
    return "";
  }

  // What a field's value must be, in words.
  static const char* what(std::size_t field) {
    switch (field) {
      case 0:
        return "a plain file name of the directory (letters, digits, '.', '-', '_')";
      case 5:
        return "eight hex digits";
      case 6:
      case 7:
        return "a key in printable bytes and %HH escapes";
      default:
        return "a number of 1 to 19 digits";
    }
  }

  Manifest& manifest_;
  std::size_t number_ = 0;
  std::uint64_t valuesEnd_ = 0;
  bool ended_ = false;
};

}  // namespace internal

// The text of `manifest`.
inline std::string manifestText(const Manifest& manifest) {
  std::string text = internal::kManifestMagic;
  text += "generation " + manifest.generation + "\n";
  for (const ShardEntry& shard : manifest.shards) {
    char numbers[200];
    (void)std::snprintf(
        numbers, sizeof numbers, " keys=%llu lines=%llu base=%llu bytes=%llu crc32c=%08x first=",
        static_cast<unsigned long long>(shard.keys), static_cast<unsigned long long>(shard.lines),
        static_cast<unsigned long long>(shard.base), static_cast<unsigned long long>(shard.bytes),
        static_cast<unsigned>(shard.crc32c));
    text += "shard file=" + shard.file + numbers;
    internal::escapeKey(shard.first, text);
    text += " last=";
    internal::escapeKey(shard.last, text);
    text += '\n';
  }
  text += "end " + std::to_string(manifest.shards.size()) + "\n";
  return text;
}

// Parses the manifest text[0 .. size) into `manifest` and checks everything that can be
// checked without the shards: the version, plain file names, numbers without overflow, each
// shard a valid index's size with keys in its first..last range, ranges and values in order
// without overlap, the count at the end. Returns "" or what is wrong, as "line N: why".
inline std::string parseManifest(const char* text, std::size_t size, Manifest& manifest) {
  internal::ManifestParser parser(manifest);
  for (std::size_t at = 0; at < size;) {
    const void* newline = std::memchr(text + at, '\n', size - at);
    if (newline == nullptr) return parser.lastLine(text + at, size - at);
    const auto end = static_cast<std::size_t>(static_cast<const char*>(newline) - text);
    std::string why = parser.line(text + at, end - at);
    if (!why.empty()) return why;
    at = end + 1;
  }
  return parser.finish();
}

// Reads the manifest from the open file `fd` (at its start) into `manifest`. Memory is bounded
// by what the file holds up to its first wrong line: a wrong first line is refused before
// anything else is read, and a file larger than any manifest before anything is. Returns
// kIndexOk, kIndexCannotOpen (errno tells why), or kIndexBadManifest with `why` set ("line N:
// why").
inline int readManifest(int fd, Manifest& manifest, std::string& why) {
  why.clear();
  internal::ManifestParser parser(manifest);
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size < 0 || ::lseek(fd, 0, SEEK_SET) != 0) return kIndexCannotOpen;
  if (static_cast<std::uint64_t>(size) > kLargestManifest) {
    why = "larger than any manifest";
    return kIndexBadManifest;
  }
  // The first line alone, then pieces of this size.
  std::vector<char> buffer(sizeof internal::kManifestMagic - 1);
  std::string line;
  bool first = true;
  for (;;) {
    const ssize_t got = internal::readSome(fd, buffer.data(), buffer.size());
    if (got < 0) return kIndexCannotOpen;
    if (got == 0) break;
    const char* p = buffer.data();
    const char* const end = p + got;
    while (p < end) {
      const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      if (newline == nullptr) {
        // The first line is whole in its piece, or wrong.
        if (first) {
          line.assign(p, end);
          why = parser.line(line.data(), line.size());
          if (why.empty()) why = "line 1: not a version 1 manifest";
          return kIndexBadManifest;
        }
        line.append(p, end);
        break;
      }
      const char* stop = static_cast<const char*>(newline);
      line.append(p, stop);
      why = parser.line(line.data(), line.size());
      if (!why.empty()) return kIndexBadManifest;
      line.clear();
      first = false;
      p = stop + 1;
    }
    if (buffer.size() < (std::size_t{1} << 16)) buffer.resize(std::size_t{1} << 16);
  }
  why = line.empty() ? parser.finish() : parser.lastLine(line.data(), line.size());
  return why.empty() ? kIndexOk : kIndexBadManifest;
}

// Whether the open file `fd` begins as a manifest of any version does ("tessel-shards "), so
// that a path can be told a manifest or an index file. Reads at offset 0 without moving.
inline bool beginsAsManifest(int fd) {
  constexpr std::size_t kHead = sizeof internal::kManifestMagic - 3;
  char head[kHead];
  return ::pread(fd, head, kHead, 0) == static_cast<ssize_t>(kHead) &&
         std::memcmp(head, internal::kManifestMagic, kHead) == 0;
}

// What is wrong with the numbers of a manifest's shards taken together: "" when the first
// base is 0 and each next one is the one before plus its shard's lines. The lines of all
// shards are then the input's lines, the last base plus the last shard's lines.
inline std::string checkBases(const Manifest& manifest) {
  std::uint64_t next = 0;
  for (std::size_t i = 0; i < manifest.shards.size(); ++i) {
    const ShardEntry& shard = manifest.shards[i];
    if (shard.base != next) {
      return "line " + std::to_string(i + 3) + ": base=" + std::to_string(shard.base) +
             " is not the lines before it, " + std::to_string(next);
    }
    next += shard.lines;
  }
  return "";
}

}  // namespace Tessel
