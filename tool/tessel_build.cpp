// tessel-build: compiles a sorted key list, one key per line, into a double-array index file.
//
// Exit status: 0 on success, 255 on any failure, with one line on standard error.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <new>
#include <string>

#include <tessel/double_array.h>
#include <tessel/internal/memory.h>
#include <tessel/key_lines.h>
#include <tessel/replace_file.h>

#include "failure.h"
#include "key_list.h"

namespace {

constexpr int kFailure = -1;
constexpr int kBarWidth = 43;
constexpr char kProgressBar[kBarWidth + 1] = "*******************************************";

// The percentage last drawn; a first call at 0 % therefore draws nothing.
int lastPercent = 0;

// The whole percentage of `current` keys out of `total`.
int percentOf(std::size_t current, std::size_t total) {
  return static_cast<int>(100.0 * static_cast<double>(current) / static_cast<double>(total));
}

// Redraws the progress bar on standard output whenever the whole percentage changes. It is
// called for every key: the count at which the percentage next changes is worked out once,
// by the same arithmetic, so that most calls are one comparison (4 % of the word list's
// build went to the division).
int showProgress(std::size_t current, std::size_t total) {
  static std::size_t nextChange = 0, nextTotal = 0;
  if (total == nextTotal && current < nextChange) return 1;
  const int percent = percentOf(current, total);
  if (percent != lastPercent) {
    const int barLength =
        static_cast<int>(static_cast<double>(current) * kBarWidth / static_cast<double>(total));
    // A failed write leaves the stream's error flag set; buildIndex checks it before the end.
    (void)std::printf("Making Double Array: %3d%% |%.*s%*s| ", percent, barLength, kProgressBar,
                      kBarWidth - barLength, "");
    (void)std::putchar(percent == 100 ? '\n' : '\r');
    (void)std::fflush(stdout);
  }
  lastPercent = percent;
  // The percentage only grows with the count: the first count past this one's is found from
  // an estimate, moved until it is exact.
  const auto estimate = static_cast<double>(percent + 1) * static_cast<double>(total) / 100.0;
  std::size_t next =
      estimate < static_cast<double>(total) ? static_cast<std::size_t>(estimate) : total;
  next = std::max(next, current + 1);
  while (next > current + 1 && percentOf(next - 1, total) != percent) --next;
  while (next < total && percentOf(next, total) == percent) ++next;
  nextChange = next;
  nextTotal = total;
  return 1;
}

int fail(const char* message, const char* name) {
  return Tessel::Tool::fail(message, name, kFailure);
}

using Tessel::Tool::KeyList;
using Tessel::Tool::ReadStatus;

// Runs when the new index is safely in its temporary file, just before it replaces Index:
// writes the ratio line, and refuses the replacement when standard output has failed, so that
// a run reported as failed leaves Index as it was. From here on the run has succeeded, and a
// signal no longer changes that: they are blocked until the end.
bool finishOutput(void* trie) {
  const auto& built = *static_cast<const Tessel::DoubleArray*>(trie);
  (void)std::printf(
      "Done!, Compression Ratio: %g %%\n",
      100.0 * static_cast<double>(built.occupiedCount()) / static_cast<double>(built.size()));
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return false;
  sigset_t all;
  sigfillset(&all);
  (void)::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  return true;
}

// A key list of this size or more is mapped: the page cache carries it instead of the
// process's memory, and nothing is copied. Below it, a copy in memory is faster, and costs
// little. Its index is built in memory when that fits well within what the process can have,
// else in the pages of the temporary file, which the kernel can write back.
constexpr std::size_t kLargeFrom = std::size_t{32} << 20;

int buildIndex(const char* file, const char* index) {
  Tessel::DoubleArray trie;
  Tessel::FileReplacement output;
  try {
    KeyList list;
    Tessel::KeyLines lines;
    bool mapped = false;
    switch (Tessel::Tool::readKeys(file, kLargeFrom, list, lines, mapped)) {
      case ReadStatus::kCannotOpen:
        return fail("Cannot Open: ", file);
      case ReadStatus::kCannotRead:
        return fail("Cannot Read: ", file);
      case ReadStatus::kOk:
        break;
    }
    if (mapped) {
      // From here a page of the key list that cannot be read is reported, finding its lines
      // included; lines of tens of kilobytes that cannot be indexed so are read instead.
      Tessel::Tool::reportUnreadablePages(std::string("Cannot Read: ") + file + "\n", kFailure,
                                          lines.text(), lines.text() + lines.size() + 1);
      if (lines.index(lines.text(), lines.size()) != 0) {
        Tessel::Tool::stopReportingUnreadablePages();
        lines.unmap();
        mapped = false;
        if (Tessel::Tool::readKeys(file, ~std::size_t{0}, list, lines, mapped) != ReadStatus::kOk) {
          return fail("Cannot Read: ", file);
        }
      }
    }
    // Where Index cannot be replaced through a temporary file that the units can live in (a
    // FIFO, a device, a missing directory, a file system that cannot reserve space), they
    // are built in memory and saved as before, with the same messages.
    const std::size_t bytes = mapped ? lines.size() : list.textSize;
    const bool inFile = bytes >= kLargeFrom && !Tessel::internal::unitsFitInMemory(bytes) &&
                        output.begin(index, false) == 0 &&
                        trie.keepUnitsIn(output.descriptor()) == 0;
    if (!inFile) output.abandon();
    const int status =
        mapped ? trie.build(lines, nullptr, showProgress)
               : trie.build(list.keyCount, list.keys.data(), nullptr, nullptr, showProgress);
    // The keys are not needed past the build; the pages they free can take the index file.
    Tessel::Tool::stopReportingUnreadablePages();
    lines.unmap();
    list = KeyList();
    if (status != 0) return fail("Error: cannot build double array  ", file);
    // The progress lines' failure is known already: Index is not touched then.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      return fail("Cannot Write: ", "standard output");
    }
    Tessel::ReplaceHooks hooks;
    hooks.beforeCommit = finishOutput;
    hooks.context = &trie;
    const int saved =
        inFile ? (trie.finishFile() == 0 ? output.commit(hooks) : -1) : trie.save(index, hooks);
    if (saved != 0) {
      if (errno == ECANCELED) return fail("Cannot Write: ", "standard output");
      return fail("Error: cannot build double array  ", file);
    }
  } catch (const std::bad_alloc&) {
    // Memory, or the disk under the units (trie.fileError()), ran out.
    return fail("Error: cannot build double array  ", file);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // An interrupted run leaves Index as it was and nothing beside it.
  Tessel::Tool::removeTemporariesOnSignals();
  if (argc < 3) {
    (void)std::fprintf(stderr, "Usage: %s File Index\n",
                       argc > 0 && argv[0] ? argv[0] : "tessel-build");
    return kFailure;
  }
  return buildIndex(argv[argc - 2], argv[argc - 1]);
}
