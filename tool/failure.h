#pragma once

// How the programs report a failure: one line on standard error, and only for the first
// failure of a run, whatever fails after it; and how a signal that ends a program first takes
// its temporary files away.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <utility>

#include <tessel/replace_file.h>

namespace Tessel {
namespace Tool {

// Writes `what` then `name` and a newline on standard error, unless a failure was reported
// already, and returns `status`. A line that cannot be written has nowhere else to go; the
// status still tells.
inline int fail(const char* what, const char* name, int status) {
  static bool reported = false;
  if (!reported) {
    reported = true;
    (void)std::fprintf(stderr, "%s%s\n", what, name);
    (void)std::fflush(stderr);
  }
  return status;
}

// Signals whose default action ends the process. Stopping, continuing and ignored-by-default
// signals are left alone, and SIGXFSZ, which the programs ignore.
inline bool endsProcess(int signal) {
  switch (signal) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
    case SIGXFSZ:
      return false;
    default:
      return true;
  }
}

// Takes the temporary files of replacements under way away, then ends the process by the
// signal, as it would have ended: an interrupted run leaves each file as it was.
inline void removeTemporaryAndDie(int signal) {
  Tessel::removeTemporaryFiles();
  (void)std::raise(signal);
}

// Has each signal that ends the process remove the temporary files first; a signal ignored by
// whoever started the program stays ignored, as for nohup. A write past a file-size limit
// fails and is reported rather than kill the process (SIGXFSZ ignored).
inline void removeTemporariesOnSignals() {
  (void)std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action = {};
  action.sa_handler = removeTemporaryAndDie;
  action.sa_flags = SA_RESETHAND;
  sigfillset(&action.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction previous;
    if (endsProcess(signal) && ::sigaction(signal, nullptr, &previous) == 0 &&
        previous.sa_handler != SIG_IGN) {
      (void)::sigaction(signal, &action, nullptr);
    }
  }
}

// A mapped file whose pages can no longer be read: cut short under the program (as `cp` over
// it does) or on a disk that failed. The system says so by SIGBUS; the programs tell it in one
// line, once the temporary files are gone, rather than let the signal end them. Any other bus
// error (a failed memory) ends the program as removeTemporariesOnSignals() has it.
struct UnreadablePages {
  std::string line;
  int status = 2;
  const char* from = nullptr;  // the mapping, or null: any fault on a page no file backs
  const char* to = nullptr;
  std::atomic<bool> armed{false};
};
inline UnreadablePages& unreadablePages() {
  static UnreadablePages report;
  return report;
}
inline void unreadablePage(int signal, siginfo_t* info, void*) {
  const UnreadablePages& report = unreadablePages();
  const auto* address = static_cast<const char*>(info->si_addr);
  if (report.armed.load() && (report.from != nullptr ? address >= report.from && address < report.to
                                                     : info->si_code == BUS_ADRERR)) {
    Tessel::removeTemporaryFiles();
    (void)!::write(STDERR_FILENO, report.line.data(), report.line.size());
    ::_exit(report.status);
  }
  removeTemporaryAndDie(signal);
}
// From now on a bus error in [from, to) (with both null: on any page that no file backs)
// writes `line` on standard error and exits with `status`. Call it after
// removeTemporariesOnSignals().
inline void reportUnreadablePages(std::string line, int status, const char* from = nullptr,
                                  const char* to = nullptr) {
  UnreadablePages& report = unreadablePages();
  report.armed.store(false);
  report.line = std::move(line);
  report.status = status;
  report.from = from;
  report.to = to;
  struct sigaction action = {};
  action.sa_sigaction = unreadablePage;
  action.sa_flags = SA_RESETHAND | SA_SIGINFO;
  sigfillset(&action.sa_mask);
  (void)::sigaction(SIGBUS, &action, nullptr);
  report.armed.store(true);
}
// The file is unmapped: a later bus error ends the program.
inline void stopReportingUnreadablePages() {
  unreadablePages().armed.store(false);
}

// An index (a shard, a companion of weights), as the command line names it, that is cut short
// while it is read is told so, with `status`.
inline void reportShrinkingIndex(const char* name, int status) {
  reportUnreadablePages(std::string("Cannot Read: ") + name +
                            ": cut short while it was read, or its disk failed (replace an "
                            "index by renaming a new file over it)\n",
                        status);
}

}  // namespace Tool
}  // namespace Tessel
