// tessel-weights: gives the keys of an index their weights for ranked completion
// (tessel-lookup -t), in a companion file beside the index file or beside each shard.
//
// Exit status: 0 when the weights were saved, 2 on any error, with one line on standard error.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <tessel/index.h>

#include "failure.h"
#include "line_reader.h"

#ifndef TESSEL_VERSION
#define TESSEL_VERSION "unknown"
#endif

namespace {

constexpr int kError = 2;

constexpr char kUsage[] =
    "Usage: tessel-weights Weights Index\n"
    "\n"
    "Gives the keys of Index (an index file, or a sharded index: its directory or its\n"
    "MANIFEST) the weights of Weights (- reads standard input): one integer from 0 to\n"
    "4294967295 a line, the weight of the same line of the key list Index was built from;\n"
    "a run of equal keys takes the greatest weight of its lines. The weights go to a\n"
    "companion file beside the index file, or beside each shard (its name and .weights),\n"
    "replaced whole; tessel-lookup -t N then gives the N heaviest keys below a prefix.\n"
    "Prints the number of weights read. Exit status: 0 when saved, 2 on any error.\n";

int fail(const char* what, const char* name) {
  return Tessel::Tool::fail(what, name, kError);
}

int usage(const std::string& why) {
  const std::string line = "tessel-weights: " + why + " (tessel-weights --help tells more)";
  return fail("Usage: ", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  // Interrupted, it leaves the weights as they were and no temporary file beside them.
  Tessel::Tool::removeTemporariesOnSignals();
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    return std::fputs(kUsage, stdout) >= 0 && std::fflush(stdout) == 0
               ? 0
               : fail("Cannot Write: ", "standard output");
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    return std::puts("tessel-weights " TESSEL_VERSION) >= 0 && std::fflush(stdout) == 0
               ? 0
               : fail("Cannot Write: ", "standard output");
  }
  if (argc != 3) return usage(argc < 3 ? "Weights and Index are needed" : "too many arguments");
  const char* weightsName = argv[1];
  const char* indexName = argv[2];
  Tessel::Tool::reportShrinkingIndex(indexName, kError);
  try {
    const int fd = std::strcmp(weightsName, "-") == 0 ? STDIN_FILENO
                                                      : ::open(weightsName, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("Cannot Open: ", weightsName);
    std::vector<std::uint32_t> weights;
    {
      Tessel::Tool::LineReader lines(fd);
      const char* line;
      std::size_t length;
      while (lines.next(line, length)) {
        std::uint32_t weight = 0;
        if (!Tessel::parseWeight(line, length, weight)) {
          const std::string where = std::string(weightsName) + ": line " +
                                    std::to_string(weights.size() + 1) + ": " + Tessel::kNotAWeight;
          return fail("Bad Weights: ", where.c_str());
        }
        weights.push_back(weight);
      }
      if (lines.outOfMemory()) return fail("Out of Memory: ", weightsName);
      if (lines.failed()) return fail("Cannot Read: ", weightsName);
    }
    if (fd != STDIN_FILENO) ::close(fd);
    Tessel::Index index;
    Tessel::Status status = index.open(indexName);
    if (status.ok()) status = index.saveWeights(weights.data(), weights.size());
    if (!status.ok()) {
      const std::string what = std::string(Tessel::describeIndexStatus(status.code())) + ": ";
      return fail(what.c_str(), status.where().empty() ? indexName : status.where().c_str());
    }
    if (std::printf("%zu weights\n", weights.size()) < 0 || std::fflush(stdout) != 0) {
      return fail("Cannot Write: ", "standard output");
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return fail("Out of Memory: ", weightsName);
  }
}
