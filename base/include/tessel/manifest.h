#pragma once

// The manifest of a sharded index: the format, one parser, one writer. A sharded index is a
// directory of ordinary index files, the shards, each holding one contiguous range of the
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
// and '%' written as %HH. N counts the shard lines. The manifest is written last, atomically,
// so that it names whole shards only.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <tessel/format.h>
#include <tessel/replace_file.h>

namespace Tessel {

constexpr char kManifestName[] = "MANIFEST";

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

inline bool unescapeKey(const std::string& text, std::string& key) {
  key.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte <= ' ' || byte >= 0x7F) return false;
    if (byte != '%') {
      key += text[i];
      continue;
    }
    const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    key += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

// A decimal number of 1 to 19 digits, no sign.
inline bool parseNumber(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// A name a shard may have: letters, digits, '.', '-', '_', not "." or "..", so that it names
// a file in the directory and nothing else.
inline bool plainName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (const char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
          c == '-' || c == '_')) {
      return false;
    }
  }
  return true;
}

}  // namespace internal

// The text of `manifest`.
inline std::string manifestText(const Manifest& manifest) {
  std::string text = "tessel-shards 1\ngeneration " + manifest.generation + "\n";
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
  manifest = Manifest();
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < size;) {
    const void* newline = std::memchr(text + at, '\n', size - at);
    if (newline == nullptr) return "line " + std::to_string(lines.size() + 1) + ": no newline";
    const auto end = static_cast<std::size_t>(static_cast<const char*>(newline) - text);
    lines.emplace_back(text + at, end - at);
    at = end + 1;
  }
  auto where = [](std::size_t line, const std::string& why) {
    return "line " + std::to_string(line + 1) + ": " + why;
  };
  if (lines.empty() || lines[0] != "tessel-shards 1") return where(0, "not a version 1 manifest");
  if (lines.size() < 3 || lines[1].compare(0, 11, "generation ") != 0 ||
      !internal::plainName(lines[1].substr(11))) {
    return where(1, "no generation");
  }
  manifest.generation = lines[1].substr(11);
  std::uint64_t valuesEnd = 0;
  for (std::size_t n = 2; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (line.compare(0, 4, "end ") == 0) {
      std::uint64_t count;
      if (n + 1 != lines.size()) return where(n + 1, "text after the end");
      if (!internal::parseNumber(line.substr(4), count) || count != manifest.shards.size()) {
        return where(n, "the count at the end is not the number of shards");
      }
      return "";
    }
    if (line.compare(0, 6, "shard ") != 0) return where(n, "neither a shard nor the end");
    ShardEntry shard;
    const char* names[] = {"file", "keys", "lines", "base", "bytes", "crc32c", "first", "last"};
    std::size_t at = 6;
    for (const char* name : names) {
      const std::size_t space = line.find(' ', at);
      const std::string field = line.substr(at, space == std::string::npos ? space : space - at);
      const std::size_t nameLength = std::strlen(name);
      if (field.compare(0, nameLength, name) != 0 || field.size() <= nameLength ||
          field[nameLength] != '=') {
        return where(n, std::string("no ") + name + "= where it belongs");
      }
      const std::string value = field.substr(nameLength + 1);
      bool ok = true;
      if (name == names[0]) {
        ok = internal::plainName(value);
        shard.file = value;
      } else if (name == names[5]) {
        std::uint64_t crc = 0;
        ok = value.size() == 8;
        for (const char c : value) {
          const int digit = internal::hexDigit(c);
          ok = ok && digit >= 0;
          crc = crc * 16 + static_cast<std::uint64_t>(digit < 0 ? 0 : digit);
        }
        shard.crc32c = static_cast<std::uint32_t>(crc);
      } else if (name == names[6] || name == names[7]) {
        ok = internal::unescapeKey(value, name == names[6] ? shard.first : shard.last);
      } else {
        std::uint64_t* targets[] = {&shard.keys, &shard.lines, &shard.base, &shard.bytes};
        const std::size_t which = name == names[1]   ? 0
                                  : name == names[2] ? 1
                                  : name == names[3] ? 2
                                                     : 3;
        ok = internal::parseNumber(value, *targets[which]);
      }
      if (!ok) return where(n, std::string("a bad ") + name);
      if (space == std::string::npos) {
        if (name != names[7]) return where(n, "fields missing");
        at = line.size();
      } else {
        at = space + 1;
      }
    }
    if (at != line.size()) return where(n, "text after the last field");
    const std::uint64_t units = shard.bytes / Format::kUnitBytes;
    if (shard.bytes % Format::kUnitBytes != 0 || units < Format::kMinUnits ||
        units > Format::kMaxUnits + Format::kTailUnits) {
      return where(n, "a size no index has");
    }
    if (shard.keys == 0 || shard.keys > units || shard.keys > shard.lines ||
        shard.lines > std::uint64_t{1} << 31) {
      return where(n, "counts no shard has");
    }
    if (shard.first > shard.last) return where(n, "the first key comes after the last");
    if (!manifest.shards.empty() && manifest.shards.back().last >= shard.first) {
      return where(n, "the range does not come after the one before");
    }
    if (shard.base < valuesEnd ||
        shard.base > std::numeric_limits<std::int64_t>::max() - shard.lines) {
      return where(n, "values overlap the shard before or pass 2**63");
    }
    valuesEnd = shard.base + shard.lines;
    manifest.shards.push_back(std::move(shard));
  }
  return where(lines.size() - 1, "no end");
}

// Writes `manifest` to directory/MANIFEST, replacing the file as a whole: a temporary file
// that is synced, renamed over it, and the directory synced. Returns 0, or -1 with errno set.
inline int writeManifest(const std::string& directory, const Manifest& manifest) {
  const std::string text = manifestText(manifest);
  return replaceFile((directory + "/" + kManifestName).c_str(), text.data(), text.size());
}

}  // namespace Tessel
