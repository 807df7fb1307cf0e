#pragma once

// The heavy steps of a sharded build, one shard or one piece of input at a time: what the
// workers of the distributed build run (tessel.shards, in the Python package). A shard is an
// ordinary index file; its entry in the manifest (tessel/manifest.h) comes from what
// buildShard() reports.
//
// Unsorted keys travel between the steps framed: each key as its length in 4 bytes (host
// order) and its bytes, so that any byte, newline and NUL included, survives.

#if !defined(__cpp_exceptions) && !defined(__EXCEPTIONS)
// cppcheck-suppress preprocessorErrorDirective
#error "<tessel/shard_builder.h> stops a given-up build by an exception: build with exceptions"
#endif

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <tessel/double_array.h>
#include <tessel/internal/crc32c.h>
#include <tessel/internal/memory.h>
#include <tessel/key_lines.h>
#include <tessel/line_rule.h>
#include <tessel/manifest.h>
#include <tessel/replace_file.h>

namespace Tessel {

// What building one shard found. A shard of no lines (framed keys of which none fell in its
// range) is neither built nor saved; every other one is saved or failed.
struct ShardBuild {
  int status = kBuildOk;       // the build's status
  bool saved = false;          // the shard file is in place
  int error = 0;               // why it could not be built or written (errno), when not saved
  std::uint64_t lines = 0;     // the lines of its range (framed keys: the keys it was given)
  std::uint64_t unsorted = 0;  // after kBuildUnsorted: the first key out of order
  ShardEntry entry;            // the manifest's entry, but for its base and file name; after
                               // kBuildUnsorted, only its first key
};

// Where a shard's file goes: its path, the beginning of its temporary files' names (null:
// the library's own) and the marker whose file must stand for it to be put in place (null:
// none).
struct ShardTarget {
  const char* path;
  const char* temporaryPrefix = nullptr;
  const char* marker = nullptr;
};

namespace internal {

// Whether the file `marker` (a const char*, or null for none) still exists: a build whose
// marker is gone has been given up, and its shard must not take a place.
inline bool markerStands(void* marker) {
  return marker == nullptr || ::access(static_cast<const char*>(marker), F_OK) == 0;
}

// The memory that shard builds under way in this process count on for their units: builds
// side by side (a process's threads) each ask for room beside the others'.
inline std::atomic<std::uint64_t> unitsCounted{0};

// A build whose marker went away stops: the shard would be refused, and a driver that gave the
// build up waits for its workers. The marker is looked at every 65,536 keys, a few
// milliseconds of building.
struct MarkerGone {};
inline thread_local const char* watchedMarker = nullptr;
inline int watchMarker(std::size_t completed, std::size_t) {
  if (completed % 65536 == 0 && !markerStands(const_cast<char*>(watchedMarker))) {
    throw MarkerGone{};
  }
  return 0;
}

// Builds with build(trie, progress) into a new file at target.path, from keys of `bytes`
// bytes, and fills in the result; first and last name the shard's range. Its units are in
// memory where they fit well within what the process can have, else in the file's pages where
// the file system allows. The file is renamed into place only while target.marker stands;
// once it is gone, the build stops (error ECANCELED).
template <class Build>
ShardBuild buildShardWith(const ShardTarget& target, std::uint64_t lines, std::uint64_t bytes,
                          std::string first, std::string last, Build&& build) {
  ShardBuild result;
  result.lines = lines;
  if (lines == 0) return result;
  DoubleArray trie;
  FileReplacement output;
  struct Counted {
    std::uint64_t bytes, others = unitsCounted.fetch_add(bytes);
    ~Counted() { unitsCounted.fetch_sub(bytes); }
  } counted{unitsEstimate(bytes)};
  const bool inFile = !internal::unitsFitInMemory(bytes, counted.others) &&
                      output.begin(target.path, false, target.temporaryPrefix) == 0 &&
                      trie.keepUnitsIn(output.descriptor()) == 0;
  if (!inFile) output.abandon();
  watchedMarker = target.marker;
  try {
    result.status = build(trie, target.marker == nullptr ? nullptr : watchMarker);
  } catch (const MarkerGone&) {
    result.error = ECANCELED;
    return result;
  } catch (const std::bad_alloc&) {
    // The disk was full where the units grow in the file's pages: a failure to write.
    if (trie.fileError() == 0) throw;
    result.status = kBuildOk;
    result.error = trie.fileError();
    return result;
  }
  if (result.status != kBuildOk) {
    result.unsorted = trie.firstUnsortedKey();
    // Where the range begins: the key before it may be out of order with its first.
    result.entry.first = std::move(first);
    return result;
  }
  result.entry.keys = trie.distinctKeyCount();
  result.entry.lines = lines;
  result.entry.bytes = trie.size() * sizeof(DoubleArray::Unit);
  result.entry.first = std::move(first);
  result.entry.last = std::move(last);
  ReplaceHooks hooks;
  hooks.beforeCommit = markerStands;
  hooks.context = const_cast<char*>(target.marker);
  int saved;
  if (inFile) {
    saved = trie.finishFile();
    result.entry.crc32c = Crc32c::update(0, trie.array(), result.entry.bytes);
    if (saved == 0) saved = output.commit(hooks);
  } else {
    result.entry.crc32c = Crc32c::update(0, trie.array(), result.entry.bytes);
    FileReplacement replacement;
    saved = replacement.begin(target.path, false, target.temporaryPrefix) == 0 &&
                    replacement.write(trie.array(), result.entry.bytes, hooks) == 0
                ? replacement.commit(hooks)
                : -1;
  }
  result.saved = saved == 0;
  result.error = saved == 0 ? 0 : errno;
  return result;
}

inline std::string keyOfLine(const KeyLines& lines, std::size_t i) {
  return std::string(lines.line(i), lines.keyLength(i));
}

// A key as the sort sees it.
struct KeyRef {
  const unsigned char* bytes;
  std::size_t length;
};

// Byte `depth` of a key, or -1 past its end.
inline int byteAt(const KeyRef& key, std::size_t depth) {
  return depth < key.length ? key.bytes[depth] : -1;
}

inline bool keyLess(const KeyRef& a, const KeyRef& b) {
  const int c = std::memcmp(a.bytes, b.bytes, std::min(a.length, b.length));
  return c != 0 ? c < 0 : a.length < b.length;
}

// Sorts keys in byte order: a multikey quicksort, which compares each shared byte of a group
// once instead of at every comparison, with an explicit stack. Stops, returning false, once
// `marker` (null: none) is gone, looked at every 4,096 groups (10M keys make millions).
inline bool sortKeys(std::vector<KeyRef>& keys, const char* marker = nullptr) {
  struct Task {
    std::size_t begin, end, depth;
  };
  std::vector<Task> tasks{{0, keys.size(), 0}};
  for (std::size_t done = 1; !tasks.empty(); ++done) {
    if (done % 4096 == 0 && !markerStands(const_cast<char*>(marker))) return false;
    const Task task = tasks.back();
    tasks.pop_back();
    KeyRef* a = keys.data() + task.begin;
    const std::size_t n = task.end - task.begin;
    if (n < 24) {
      std::sort(a, a + n, keyLess);
      continue;
    }
    const int x = byteAt(a[0], task.depth), y = byteAt(a[n / 2], task.depth),
              z = byteAt(a[n - 1], task.depth);
    const int pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
    std::size_t lt = 0, i = 0, gt = n;
    while (i < gt) {
      const int c = byteAt(a[i], task.depth);
      if (c < pivot) {
        std::swap(a[lt++], a[i++]);
      } else if (c > pivot) {
        std::swap(a[i], a[--gt]);
      } else {
        ++i;
      }
    }
    if (lt > 0) tasks.push_back({task.begin, task.begin + lt, task.depth});
    if (gt < n) tasks.push_back({task.begin + gt, task.end, task.depth});
    // Keys equal up to here and ended are equal: nothing more to sort among them.
    if (pivot >= 0 && gt - lt > 1)
      tasks.push_back({task.begin + lt, task.begin + gt, task.depth + 1});
  }
  return true;
}

}  // namespace internal

// Builds the lines [start, end) of the sorted key file `fd` (end 0: to its end) into a shard
// file, replaced as a whole while the target's marker exists. Each key's value in the shard is
// the line number, in the range, of its first occurrence. Throws std::bad_alloc when memory
// runs out.
inline ShardBuild buildShard(int fd, std::uint64_t start, std::uint64_t end,
                             const ShardTarget& target) {
  KeyLines lines;
  if (lines.map(fd, start, end) != 0) {
    ShardBuild result;
    result.error = errno;
    return result;
  }
  const std::size_t count = lines.count();
  return internal::buildShardWith(target, count, lines.size(),
                                  count == 0 ? "" : internal::keyOfLine(lines, 0),
                                  count == 0 ? "" : internal::keyOfLine(lines, count - 1),
                                  [&](DoubleArray& trie, DoubleArray::ProgressFunc progress) {
                                    return trie.build(lines, nullptr, progress);
                                  });
}

// Framed keys: each key's length in 4 bytes, then its bytes; a weighted frame then holds the
// key's weight in 4 bytes, which stays beside the key's bytes wherever a KeyRef to it goes.

// Reads framed keys from data[0 .. size) into `keys`; false when the frames do not fit.
inline bool readFramed(const char* data, std::size_t size, std::vector<internal::KeyRef>& keys,
                       bool weighted = false) {
  const std::size_t tail = weighted ? sizeof(std::uint32_t) : 0;
  std::size_t at = 0;
  while (at < size) {
    std::uint32_t length;
    if (size - at < sizeof length) return false;
    std::memcpy(&length, data + at, sizeof length);
    at += sizeof length;
    if (size - at < tail || size - at - tail < length) return false;
    keys.push_back({reinterpret_cast<const unsigned char*>(data + at), length});
    at += length + tail;
  }
  return true;
}

// Appends `key` to `out`, framed.
inline void appendFramed(std::string& out, const char* key, std::size_t length) {
  const auto size = static_cast<std::uint32_t>(length);
  out.append(reinterpret_cast<const char*>(&size), sizeof size);
  out.append(key, length);
}

// Appends `key` and its weight to `out`, framed.
inline void appendFramed(std::string& out, const char* key, std::size_t length,
                         std::uint32_t weight) {
  appendFramed(out, key, length);
  out.append(reinterpret_cast<const char*>(&weight), sizeof weight);
}

// The weight that follows a key read from weighted frames.
inline std::uint32_t framedWeight(const internal::KeyRef& key) {
  std::uint32_t weight;
  std::memcpy(&weight, key.bytes + key.length, sizeof weight);
  return weight;
}

// Sorts the keys, drops repeats and builds them into a shard file, as the other buildShard()
// does: each key's value is its rank among the distinct keys, and the shard's lines are its
// distinct keys. With `weights`, the keys were read from weighted frames, and weights[rank]
// becomes the greatest weight of each distinct key.
inline ShardBuild buildShard(std::vector<internal::KeyRef>& keys, const ShardTarget& target,
                             std::vector<std::uint32_t>* weights = nullptr) {
  if (!internal::sortKeys(keys, target.marker)) {
    ShardBuild result;
    result.lines = keys.size();
    result.error = ECANCELED;
    return result;
  }
  auto same = [](const internal::KeyRef& a, const internal::KeyRef& b) {
    return a.length == b.length && std::memcmp(a.bytes, b.bytes, a.length) == 0;
  };
  if (weights != nullptr) {
    weights->clear();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const std::uint32_t weight = framedWeight(keys[i]);
      if (i > 0 && same(keys[i - 1], keys[i])) {
        weights->back() = std::max(weights->back(), weight);
      } else {
        weights->push_back(weight);
      }
    }
  }
  keys.erase(std::unique(keys.begin(), keys.end(), same), keys.end());
  std::vector<const char*> pointers(keys.size());
  std::vector<std::size_t> lengths(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    pointers[i] = reinterpret_cast<const char*>(keys[i].bytes);
    lengths[i] = keys[i].length;
  }
  auto text = [&](std::size_t i) { return std::string(pointers[i], lengths[i]); };
  std::uint64_t bytes = 0;
  for (const std::size_t length : lengths) bytes += length + 1;
  return internal::buildShardWith(target, keys.size(), bytes, keys.empty() ? "" : text(0),
                                  keys.empty() ? "" : text(keys.size() - 1),
                                  [&](DoubleArray& trie, DoubleArray::ProgressFunc progress) {
                                    return trie.build(keys.size(), pointers.data(), lengths.data(),
                                                      nullptr, progress);
                                  });
}

// The range of `key` among ranges cut at `boundaries` (sorted): the number of boundaries that
// are at most the key, so that range r holds keys from boundaries[r - 1] up to, not
// including, boundaries[r].
inline std::size_t rangeOf(const std::vector<std::string>& boundaries, const char* key,
                           std::size_t length) {
  const internal::KeyRef ref{reinterpret_cast<const unsigned char*>(key), length};
  std::size_t low = 0, high = boundaries.size();
  while (low < high) {
    const std::size_t middle = (low + high) / 2;
    const internal::KeyRef b{reinterpret_cast<const unsigned char*>(boundaries[middle].data()),
                             boundaries[middle].size()};
    if (internal::keyLess(ref, b)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

// Splits the key lines that begin in bytes [start, end) of the file `fd` among the ranges cut
// at `boundaries`: out[r] receives range r's keys, framed, and `count` their number. With
// `weights`, one a line, the frames are weighted. Returns 0, or -1 with errno set (EINVAL:
// lines and weights differ in number).
inline int partitionLines(int fd, std::uint64_t start, std::uint64_t end,
                          const std::vector<std::string>& boundaries, std::vector<std::string>& out,
                          std::uint64_t& count,
                          const std::vector<std::uint32_t>* weights = nullptr) {
  out.assign(boundaries.size() + 1, std::string());
  count = 0;
  // From the byte before `start`, to tell whether a line begins at it; to the file's end, as
  // the last line may run past `end`. Mapped pages cost nothing until they are read.
  KeyLines text;
  const std::uint64_t from = start == 0 ? 0 : start - 1;
  if (text.mapText(fd, from, 0) != 0) return -1;
  const char* p = text.text();
  const char* const stop = p + (end - from < text.size() ? end - from : text.size());
  if (start != 0) {
    const void* newline = std::memchr(p, '\n', text.size());
    if (newline == nullptr) return 0;
    p = static_cast<const char*>(newline) + 1;
  }
  const char* const last = text.text() + text.size();
  while (p < stop) {
    const char* lineEnd = LineRule::lineEnd(p, last);
    const std::size_t length = LineRule::keyLength(p, static_cast<std::size_t>(lineEnd - p));
    std::string& part = out[rangeOf(boundaries, p, length)];
    if (weights == nullptr) {
      appendFramed(part, p, length);
    } else if (count < weights->size()) {
      appendFramed(part, p, length, (*weights)[count]);
    } else {
      errno = EINVAL;
      return -1;
    }
    ++count;
    p = lineEnd + 1;
  }
  if (weights != nullptr && count != weights->size()) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

}  // namespace Tessel
