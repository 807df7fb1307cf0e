#pragma once

// Weights for ranked completion, kept in a companion file beside an index file (its name and
// ".weights"): the index file and its format stay as they are. For each unit of the index the
// companion holds a bound: for a unit that ends a key, that key's weight; for a node, the
// greatest weight of a key below it; 0 for a free unit. A best-first search below a prefix
// then stops after about N x depth steps for the N heaviest keys.
//
// The file, in the host's byte order as the index is:
//   0   8 bytes  "TSLWGT\0\1" (magic, format 1)
//   8   8 bytes  the index's number of units
//   16  4 bytes  the CRC-32C of the index file: a companion of another index is refused
//   20  4 bytes  the CRC-32C of the bounds
//   24  4 bytes per unit: the bounds

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <tessel/format.h>
#include <tessel/internal/crc32c.h>
#include <tessel/internal/io.h>
#include <tessel/internal/units.h>
#include <tessel/replace_file.h>
#include <tessel/status.h>

namespace Tessel {

// What a line of a weights list that holds no weight is told as.
constexpr char kNotAWeight[] = "not a weight from 0 to 4294967295";

// Reads the weight that line[0 .. length) of a weights list holds (the line as the key list's
// rule reads it, without its newline): one decimal integer from 0 to 4294967295, nothing
// else. False when the line holds none.
inline bool parseWeight(const char* line, std::size_t length, std::uint32_t& weight) {
  const auto parsed = std::from_chars(line, line + length, weight);
  return length != 0 && parsed.ec == std::errc() && parsed.ptr == line + length;
}

// The name of the companion of the index file `index`.
inline std::string weightsPathOf(const std::string& index) {
  return index + ".weights";
}

namespace internal {

constexpr unsigned char kWeightsMagic[8] = {'T', 'S', 'L', 'W', 'G', 'T', 0, 1};
constexpr std::size_t kWeightsHeader = 24;

// The units' tree read upward: for each unit in use that is no root, the unit of its node (the
// node whose base is its check). One array of the nodes by base; the checks are the index's.
class Parents {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  explicit Parents(const Units& units) : units_(units), nodeOfBase_(units.count() + 1, kNone) {
    for (std::size_t u = 0; u < units.count(); ++u) {
      const std::int32_t b = units.base(u);
      if (b > 0 && (u == 0 || units.check(u) != 0) && static_cast<std::size_t>(b) < units.count()) {
        nodeOfBase_[static_cast<std::size_t>(b)] = static_cast<std::uint32_t>(u);
      }
    }
  }

  // The node of unit u, or kNone. REQUIRES: u < the units' count.
  std::uint32_t of(std::size_t u) const {
    const std::uint32_t c = u == 0 ? 0 : units_.check(u);
    return c != 0 && c < units_.count() && u >= c && u - c <= Format::kMaxCode ? nodeOfBase_[c]
                                                                               : kNone;
  }

 private:
  const Units& units_;
  std::vector<std::uint32_t> nodeOfBase_;
};

}  // namespace internal

// The bounds of an index's companion, read and checked.
class WeightTable {
 public:
  // Reads the companion at `path` of the index whose units are units[0 .. count). Fails with
  // kCannotOpen (errno tells why: ENOENT for an index without weights) or kCorrupt (a file
  // that is cut short, of another index, or damaged), naming the file.
  Status load(const std::string& path, const unsigned char* units, std::size_t count) {
    bounds_.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return Status::failure(kIndexCannotOpen, path, errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
      ::close(fd);
      return Status::failure(kIndexCannotOpen, path, error == 0 ? EINVAL : error);
    }
    const auto expected = kHeader + count * 4;
    // The head first: a file of another index says so, whatever its size.
    std::vector<unsigned char> bytes(kHeader);
    std::size_t got = 0;
    for (bool whole = false;;) {
      while (got < bytes.size()) {
        const ssize_t n = internal::readSome(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0) {
          const int error = errno;
          ::close(fd);
          return Status::failure(kIndexCannotOpen, path, error);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
      }
      if (whole || got != kHeader) break;
      std::uint64_t unitCount;
      std::memcpy(&unitCount, bytes.data() + 8, 8);
      if (std::memcmp(bytes.data(), internal::kWeightsMagic, 8) != 0 || unitCount != count ||
          static_cast<std::uint64_t>(st.st_size) != expected) {
        break;
      }
      bytes.resize(expected);
      whole = true;
    }
    ::close(fd);
    if (got < kHeader || std::memcmp(bytes.data(), internal::kWeightsMagic, 8) != 0) {
      return corrupt(path, "no weights file");
    }
    std::uint64_t unitCount;
    std::uint32_t indexCrc, boundsCrc;
    std::memcpy(&unitCount, bytes.data() + 8, 8);
    std::memcpy(&indexCrc, bytes.data() + 16, 4);
    std::memcpy(&boundsCrc, bytes.data() + 20, 4);
    if (unitCount != count) return corrupt(path, "made for another index");
    if (got != expected) return corrupt(path, "cut short or of another size");
    if (indexCrc != internal::Crc32c::update(0, units, count * 8)) {
      return corrupt(path, "made for another index");
    }
    if (boundsCrc != internal::Crc32c::update(0, bytes.data() + kHeader, count * 4)) {
      return corrupt(path, "checksum differs");
    }
    bounds_.resize(count);
    std::memcpy(bounds_.data(), bytes.data() + kHeader, count * 4);
    return Status();
  }

  // The bound of unit u. REQUIRES: loaded, u < the index's units.
  std::uint32_t bound(std::size_t u) const { return bounds_[u]; }
  bool loaded() const { return !bounds_.empty(); }

  // Whether every node's bound is the greatest of its children's, every free unit's 0: what
  // the search trusts.
  bool consistent(const internal::Units& units) const {
    const internal::Parents parents(units);
    std::vector<std::uint32_t> most(units.count(), 0);
    for (std::size_t u = 1; u < units.count(); ++u) {
      const std::uint32_t parent = parents.of(u);
      if (parent == internal::Parents::kNone) {
        if (bounds_[u] != 0) return false;
        continue;
      }
      most[parent] = std::max(most[parent], bounds_[u]);
    }
    for (std::size_t u = 0; u < units.count(); ++u) {
      if (units.base(u) > 0 && (u == 0 || parents.of(u) != internal::Parents::kNone) &&
          most[u] != bounds_[u]) {
        return false;
      }
    }
    return true;
  }

 private:
  static constexpr std::size_t kHeader = internal::kWeightsHeader;

  static Status corrupt(const std::string& path, const char* why) {
    return Status::failure(kIndexCorrupt, path + ": " + why);
  }

  std::vector<std::uint32_t> bounds_;
};

namespace internal {
inline Status writeBounds(const std::string& path, const unsigned char* data, std::size_t count,
                          std::vector<std::pair<std::uint32_t, std::uint32_t>>& heaviest,
                          const char* temporaryPrefix = nullptr,
                          const ReplaceHooks& hooks = ReplaceHooks());
}  // namespace internal

// Checks the companion at `path`, when there is one, of the index whose units are
// units[0 .. count): as load() does, and that each bound is its node's greatest, every free
// unit's 0. Ok when there is none.
inline Status verifyWeights(const std::string& path, const unsigned char* units,
                            std::size_t count) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return Status();
  WeightTable table;
  Status status = table.load(path, units, count);
  if (status.ok() && !table.consistent(internal::Units(units, count))) {
    status = Status::failure(kIndexCorrupt, path + ": a bound differs from its keys' weights");
  }
  return status;
}

// Makes the companion of the index whose units are units[0 .. count) and writes it to `path`
// as files are replaced (whole or not at all). weights[line] is the weight of line `line` of
// the key list, `lines` of them: a key's value is the line where it first stands, and its
// weight the greatest of the lines of its run of equal keys. Fails with kCorrupt when a key's
// value lies past the lines (the weights are not of this index's key list), or kCannotOpen
// when the file cannot be written (errno). The temporary file's name begins with
// `temporaryPrefix` (null: the library's own), and `hooks` may give the replacement up.
// Throws std::bad_alloc only.
inline Status saveWeights(const std::string& path, const unsigned char* data, std::size_t count,
                          const std::uint32_t* weights, std::size_t lines,
                          const char* temporaryPrefix = nullptr,
                          const ReplaceHooks& hooks = ReplaceHooks()) {
  const internal::Units units(data, count);
  auto notOfThisList = [&] {
    return Status::failure(kIndexCorrupt, path + ": the weights are not of this key list");
  };
  // The unit that ends each key, by value (its first line): a run ends where the next key's
  // begins.
  constexpr std::uint32_t kNone = ~std::uint32_t{0};
  std::vector<std::uint32_t> endOf(lines, kNone);
  std::size_t keys = 0;
  for (std::size_t u = 1; u < count; ++u) {
    const long value = Format::decodeValue(units.base(u));
    if (value < 0 || units.check(u) == 0) continue;
    if (static_cast<std::size_t>(value) >= lines ||
        endOf[static_cast<std::size_t>(value)] != kNone) {
      return notOfThisList();
    }
    endOf[static_cast<std::size_t>(value)] = static_cast<std::uint32_t>(u);
    ++keys;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> heaviest;  // (weight, unit)
  heaviest.reserve(keys);
  for (std::size_t line = 0; line < lines; ++line) {
    if (endOf[line] != kNone) {
      heaviest.emplace_back(weights[line], endOf[line]);
    } else if (!heaviest.empty()) {
      heaviest.back().first = std::max(heaviest.back().first, weights[line]);
    }
  }
  std::vector<std::uint32_t>().swap(endOf);
  return internal::writeBounds(path, data, count, heaviest, temporaryPrefix, hooks);
}

namespace internal {

// Writes the companion of the index whose units are data[0 .. count) to `path`, its keys'
// weights given as (weight, unit that ends the key).
inline Status writeBounds(const std::string& path, const unsigned char* data, std::size_t count,
                          std::vector<std::pair<std::uint32_t, std::uint32_t>>& heaviest,
                          const char* temporaryPrefix, const ReplaceHooks& hooks) {
  const internal::Units units(data, count);
  std::vector<std::uint32_t> bounds(count, 0);
  const internal::Parents parents(units);
  constexpr std::uint32_t kNone = internal::Parents::kNone;
  for (const auto& [weight, end] : heaviest) bounds[end] = weight;
  // One pass from the last unit back, each unit raising its node to its bound: a build places
  // most children after their node, whose bound is then whole when it is passed on. A node
  // raised after it was passed (by a child before it) passes its bound up afterwards.
  std::vector<std::uint32_t> late;
  for (std::size_t u = count; u-- > 1;) {
    const std::uint32_t p = parents.of(u);
    if (p == kNone || bounds[p] >= bounds[u]) continue;
    bounds[p] = bounds[u];
    if (p > u) late.push_back(p);
  }
  for (const std::uint32_t from : late) {
    // Each step raises a bound, so that even a damaged index's cycle ends.
    const std::uint32_t bound = bounds[from];
    for (std::uint32_t u = parents.of(from); u != kNone && bounds[u] < bound; u = parents.of(u)) {
      bounds[u] = bound;
    }
  }
  unsigned char header[internal::kWeightsHeader];
  const std::uint64_t unitCount = count;
  const std::uint32_t indexCrc = internal::Crc32c::update(0, data, count * 8);
  const std::uint32_t boundsCrc =
      internal::Crc32c::update(0, reinterpret_cast<const unsigned char*>(bounds.data()), count * 4);
  std::memcpy(header, internal::kWeightsMagic, 8);
  std::memcpy(header + 8, &unitCount, 8);
  std::memcpy(header + 16, &indexCrc, 4);
  std::memcpy(header + 20, &boundsCrc, 4);
  FileReplacement replacement;
  if (replacement.begin(path.c_str(), true, temporaryPrefix) != 0 ||
      replacement.write(header, sizeof header, hooks) != 0 ||
      replacement.write(bounds.data(), count * 4, hooks) != 0 || replacement.commit(hooks) != 0) {
    return Status::failure(kIndexCannotOpen, path, errno);
  }
  return Status();
}

}  // namespace internal

}  // namespace Tessel
