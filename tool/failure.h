#pragma once

// How the programs report a failure: one line on standard error, and only for the first
// failure of a run, whatever fails after it; and how a signal that ends a program first takes
// its temporary files away.

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

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
// fails and is reported rather than kill the process (SIGXFSZ ignored). Returns the action
// set, for a program that adds its own handler of one signal.
inline struct sigaction removeTemporariesOnSignals() {
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
  return action;
}

// An index file (a shard, a companion of weights) cut short while it is mapped, as by `cp`
// over it: its pages past the new end cannot be read, and the system says so by SIGBUS with
// BUS_ADRERR, as for a page its disk failed to give. That is an index that cannot be read,
// told in one line with the program's error status once the temporary files are gone, not a
// signal that ends the program; any other bus error (a failed memory) ends it as
// removeTemporariesOnSignals() would.
struct ShrunkIndex {
  std::string line;
  int status = 2;
};
inline ShrunkIndex& shrunkIndex() {
  static ShrunkIndex report;
  return report;
}
inline void indexShrunk(int signal, siginfo_t* info, void*) {
  if (info->si_code == BUS_ADRERR) {
    Tessel::removeTemporaryFiles();
    const ShrunkIndex& report = shrunkIndex();
    (void)!::write(STDERR_FILENO, report.line.data(), report.line.size());
    ::_exit(report.status);
  }
  removeTemporaryAndDie(signal);
}
// Has SIGBUS on a mapped index (`name`, as the command line gives it) report so and exit with
// `status`. Call it after removeTemporariesOnSignals().
inline void reportShrunkIndexes(const char* name, int status) {
  ShrunkIndex& report = shrunkIndex();
  report.line = std::string("Cannot Read: ") + name +
                ": cut short while it was read, or its disk failed (replace an index by renaming "
                "a new file over it)\n";
  report.status = status;
  struct sigaction action = {};
  action.sa_sigaction = indexShrunk;
  action.sa_flags = SA_RESETHAND | SA_SIGINFO;
  sigfillset(&action.sa_mask);
  (void)::sigaction(SIGBUS, &action, nullptr);
}

}  // namespace Tool
}  // namespace Tessel
