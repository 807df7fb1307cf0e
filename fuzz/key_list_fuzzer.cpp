// Fuzzes the reading of key lists: the bytes as the input of tessel-build (from a file and
// from a pipe), as the key list of tessel-lookup -c and as a sharded build's range must give
// the keys of a plain split:
// one key a line, a last line without a newline counted, each key cut at its first NUL byte.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <tessel/key_lines.h>
#include <tessel/shard_builder.h>

#include "fuzz_support.h"
#include "key_list.h"
#include "line_reader.h"
#include "plain_split.h"

namespace {

std::vector<std::string> buildReads(int fd) {
  Tessel::Tool::KeyList list;
  FUZZ_CHECK(Tessel::Tool::readKeysFrom(fd, list) == Tessel::Tool::ReadStatus::kOk);
  FUZZ_CHECK(list.text[list.textSize] == '\0');
  return std::vector<std::string>(list.keys.data(), list.keys.data() + list.keyCount);
}

// The mapped key list, whole and cut at a line boundary as a shard's range is.
std::vector<std::string> mappedReads(int fd, std::uint64_t start = 0, std::uint64_t end = 0) {
  Tessel::KeyLines lines;
  FUZZ_CHECK(lines.map(fd, start, end) == 0);
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < lines.count(); ++i)
    keys.emplace_back(lines.line(i), lines.keyLength(i));
  return keys;
}

// The lines a sharded build's range splits, framed, as one range takes them.
std::vector<std::string> partitionReads(int fd) {
  std::vector<std::string> framed;
  std::uint64_t count = 0;
  FUZZ_CHECK(Tessel::partitionLines(fd, 0, ~std::uint64_t{0} >> 1, {}, framed, count) == 0);
  std::vector<Tessel::internal::KeyRef> refs;
  FUZZ_CHECK(Tessel::readFramed(framed[0].data(), framed[0].size(), refs));
  FUZZ_CHECK(refs.size() == count);
  std::vector<std::string> keys;
  keys.reserve(refs.size());
  for (const auto& ref : refs)
    keys.emplace_back(reinterpret_cast<const char*>(ref.bytes), ref.length);
  return keys;
}

std::vector<std::string> lookupReads(int fd) {
  Tessel::Tool::LineReader reader(fd);
  std::vector<std::string> keys;
  const char* line;
  std::size_t length;
  while (reader.next(line, length)) keys.emplace_back(line, length);
  FUZZ_CHECK(!reader.failed());
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  const std::vector<std::string> expected = TesselTest::plainSplit(text);

  const int file = memoryFile(bytes, size);
  FUZZ_CHECK(buildReads(file) == expected);
  FUZZ_CHECK(::lseek(file, 0, SEEK_SET) == 0);
  FUZZ_CHECK(lookupReads(file) == expected);
  FUZZ_CHECK(mappedReads(file) == expected);
  FUZZ_CHECK(partitionReads(file) == expected);
  const std::size_t cut = text.find('\n', size / 2);
  if (cut != std::string::npos) {
    std::vector<std::string> joined = mappedReads(file, 0, cut + 1);
    const std::vector<std::string> rest = mappedReads(file, cut + 1);
    joined.insert(joined.end(), rest.begin(), rest.end());
    FUZZ_CHECK(joined == expected);
  }

  // A pipe gives no size to start from; what fits in its buffer can be written up front.
  int pipeEnds[2];
  FUZZ_CHECK(::pipe(pipeEnds) == 0);
  if (size <= 4096) {
    FUZZ_CHECK(::write(pipeEnds[1], bytes, size) == static_cast<ssize_t>(size));
    ::close(pipeEnds[1]);
    FUZZ_CHECK(buildReads(pipeEnds[0]) == expected);
  } else {
    ::close(pipeEnds[1]);
  }
  ::close(pipeEnds[0]);
  return 0;
}
