#pragma once

// Work done without the GIL that Ctrl-C can cut short: a build, a scan.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <tessel/internal/wait.h>

namespace TesselPython {

// Whether the interpreter is ending: a thread that takes the GIL then is ended on the spot.
inline bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// A look at finalizing() and the taking of the GIL that follows are two steps, and the
// interpreter may start ending between them; the thread then ends inside the taking, which in
// a destructor is std::terminate. So the main interpreter's atexit hook, which runs before it
// starts ending, says so here first and waits for every thread between the two steps.
struct GilReturn {
  static inline std::atomic<bool> ending{false};
  static inline std::atomic<int> taking{0};

  // Takes the GIL back for `thread`; false, the GIL not taken, when the interpreter ends.
  static bool take(PyThreadState* thread) {
    taking.fetch_add(1);
    if (ending.load() || finalizing()) {
      taking.fetch_sub(1);
      return false;
    }
    PyEval_RestoreThread(thread);
    taking.fetch_sub(1);
    return true;
  }

  // The atexit hook. REQUIRES: the GIL, which it lets go while it waits, up to a second: a
  // thread that holds the GIL without end must not hold the process's end too.
  static void stop() {
    ending.store(true);
    if (taking.load() == 0) return;
    Py_BEGIN_ALLOW_THREADS;
    Tessel::internal::waitForNone(taking, 1000);
    Py_END_ALLOW_THREADS;
  }
};

// Work done without the GIL that a signal can cut short. Every so often it takes the GIL back
// and runs the signal handlers; when one raised (Ctrl-C: KeyboardInterrupt), its exception is
// set and the work stops: progress() throws Interrupted, the hooks of the replacement return
// false. Signals are handled in the main thread only; elsewhere the work runs to its end.
// When the interpreter ends meanwhile (a daemon thread's work), the work stops the same way,
// without the GIL, and the thread then waits for the process to end instead of taking it:
// taking it would end the thread from inside a destructor, which C++ cannot unwind.
class Interruptible {
 public:
  struct Interrupted {};

  Interruptible() : previous_(current_), thread_(PyEval_SaveThread()) { current_ = this; }
  ~Interruptible() {
    current_ = previous_;
    if (!GilReturn::take(thread_)) {
      for (;;) ::pause();
    }
  }
  Interruptible(const Interruptible&) = delete;
  Interruptible& operator=(const Interruptible&) = delete;

  bool interrupted() const { return interrupted_; }

  // Looks at pending signals when some time has passed; throws Interrupted when a handler
  // raised.
  void poll() {
    if (++calls_ % kCallsBetweenClocks == 0 && !check(false)) throw Interrupted();
  }
  static int progress(std::size_t, std::size_t) {
    current_->poll();
    return 0;
  }
  static bool keepGoing(void* self) { return static_cast<Interruptible*>(self)->check(false); }
  // keepGoing() of the work under way in this thread, if any.
  static bool keepGoingNow(void*) { return current_ == nullptr || current_->check(false); }
  static bool beforeCommit(void* self) { return static_cast<Interruptible*>(self)->check(true); }

 private:
  static constexpr std::uint64_t kCallsBetweenClocks = 1024;
  static constexpr double kSecondsBetweenChecks = 0.05;

  // Runs the signal handlers (at once, or when the time has come); false when one raised.
  bool check(bool now) {
    if (interrupted_) return false;
    timespec clock;
    ::clock_gettime(CLOCK_MONOTONIC, &clock);
    const double seconds =
        static_cast<double>(clock.tv_sec) + 1e-9 * static_cast<double>(clock.tv_nsec);
    if (!now && seconds < next_) return true;
    next_ = seconds + kSecondsBetweenChecks;
    if (!GilReturn::take(thread_)) {
      interrupted_ = true;
      return false;
    }
    interrupted_ = PyErr_CheckSignals() != 0;
    thread_ = PyEval_SaveThread();
    return !interrupted_;
  }

  static inline thread_local Interruptible* current_ = nullptr;
  Interruptible* previous_;
  PyThreadState* thread_;
  std::uint64_t calls_ = 0;
  double next_ = 0;
  bool interrupted_ = false;
};

}  // namespace TesselPython
