#pragma once

// How much memory of its own this process can still take, as the machine and the limits put
// on the process tell: the memory the kernel says is available, the room under the memory
// cgroup's limit (v2 memory.max, v1 memory.limit_in_bytes, of the process's cgroup and every
// one above it), and under RLIMIT_AS and RLIMIT_DATA. A build asks before it puts a large
// array in anonymous memory, which nothing can write back under pressure, rather than in the
// pages of a file.

#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace Tessel {
namespace internal {

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

// The first number on the line of `file` that begins with `key` ("" for the first line),
// times `unit`; kNoLimit when there is none (or the file says "max").
inline std::uint64_t numberIn(const std::string& file, const char* key, std::uint64_t unit = 1) {
  std::FILE* in = std::fopen(file.c_str(), "re");
  if (in == nullptr) return kNoLimit;
  char line[512];
  std::uint64_t number = kNoLimit;
  const std::size_t keyLength = std::strlen(key);
  while (std::fgets(line, sizeof line, in) != nullptr) {
    if (std::strncmp(line, key, keyLength) != 0) continue;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(line + keyLength, &end, 10);
    if (end != line + keyLength) number = static_cast<std::uint64_t>(value) * unit;
    break;
  }
  (void)std::fclose(in);  // read only: nothing to lose
  return number;
}

// The room left under the memory limits of the cgroup at `path` (under `root`, the mount of
// its hierarchy) and of each cgroup above it.
inline std::uint64_t cgroupRoom(const std::string& root, std::string path, const char* limitName,
                                const char* usageName) {
  std::uint64_t room = kNoLimit;
  for (;;) {
    const std::string at = root + path;
    const std::uint64_t limit = numberIn(at + "/" + limitName, "");
    const std::uint64_t usage = numberIn(at + "/" + usageName, "");
    // Version 1 says "no limit" with a number near 2^63.
    if (limit < (std::uint64_t{1} << 60) && usage != kNoLimit) {
      room = std::min(room, limit > usage ? limit - usage : 0);
    }
    if (path.empty() || path == "/") break;
    const std::size_t slash = path.rfind('/');
    path.resize(slash == std::string::npos ? 0 : slash);
  }
  return room;
}

// The room left under the memory cgroups of this process, v2 or v1.
inline std::uint64_t cgroupsRoom() {
  std::FILE* in = std::fopen("/proc/self/cgroup", "re");
  if (in == nullptr) return kNoLimit;
  std::uint64_t room = kNoLimit;
  char line[4096];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    std::string entry(line);
    if (!entry.empty() && entry.back() == '\n') entry.pop_back();
    // "0::/path" in version 2, "N:memory:/path" (controllers listed) in version 1.
    const std::size_t first = entry.find(':'), second = entry.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = entry.substr(first + 1, second - first - 1);
    const std::string path = entry.substr(second + 1);
    if (controllers.empty()) {
      room = std::min(room, cgroupRoom("/sys/fs/cgroup", path, "memory.max", "memory.current"));
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      room = std::min(room, cgroupRoom("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes",
                                       "memory.usage_in_bytes"));
    }
  }
  (void)std::fclose(in);  // read only: nothing to lose
  return room;
}

// The room left under a resource limit of this process, whose use /proc/self/status gives on
// the line `key` in kB.
inline std::uint64_t limitRoom(int resource, const char* key) {
  rlimit limit;
  if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kNoLimit;
  const std::uint64_t used = numberIn("/proc/self/status", key, 1024);
  const auto most = static_cast<std::uint64_t>(limit.rlim_cur);
  return used == kNoLimit ? most : most > used ? most - used : 0;
}

// The bytes of memory this process can still take; kNoLimit when nothing tells.
inline std::uint64_t memoryAvailable() {
  std::uint64_t room = numberIn("/proc/meminfo", "MemAvailable:", 1024);
  room = std::min(room, cgroupsRoom());
  room = std::min(room, limitRoom(RLIMIT_AS, "VmSize:"));
  room = std::min(room, limitRoom(RLIMIT_DATA, "VmData:"));
  return room;
}

// The memory that the units of an index built from `keyBytes` bytes of keys take, with the
// build's bitmaps: two to three times the keys' bytes on usual key sets; four is the estimate.
inline std::uint64_t unitsEstimate(std::uint64_t keyBytes) {
  return 4 * keyBytes + (std::uint64_t{64} << 20);
}

// Whether the units of an index built from `keyBytes` bytes of keys fit well within the
// memory the process can have, beside `alsoCounted` bytes that other builds of the process
// count on: all their estimates at most half of it.
inline bool unitsFitInMemory(std::uint64_t keyBytes, std::uint64_t alsoCounted = 0) {
  return unitsEstimate(keyBytes) + alsoCounted <= memoryAvailable() / 2;
}

}  // namespace internal
}  // namespace Tessel
