#pragma once

// A helper thread that takes a growing array's page faults ahead of the thread that fills it:
// when the array grows, the new pages are populated in the background (the kernel zeroes them
// or reads them in there), so that the builder finds them present when it gets to them. It
// changes no byte. It runs only where a second processor is there for it; it never runs a
// signal handler (it blocks every signal), holds nothing that a handler needs, and ends with
// its owner.

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace Tessel {
namespace internal {

class Prefaulter {
 public:
  Prefaulter() = default;
  ~Prefaulter() { stop(); }
  Prefaulter(const Prefaulter&) = delete;
  Prefaulter& operator=(const Prefaulter&) = delete;

  // Populates the pages of [data, data + bytes) in the background, in place of what was asked
  // before. Nothing happens where one processor is all the process may use, or where the
  // kernel cannot populate.
  void ask(void* data, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    if (bytes < kWorthFrom) return;
    std::unique_lock<std::mutex> hold(lock_);
    if (unable_ || (!running_ && !start())) return;
    next_ = static_cast<char*>(data);
    end_ = next_ + bytes;
    hold.unlock();
    wake_.notify_one();
#else
    (void)data;
    (void)bytes;
#endif
  }

  // Returns once the helper touches no page: before the memory moves or goes away.
  void pause() {
    if (!running_) return;
    std::unique_lock<std::mutex> hold(lock_);
    next_ = end_ = nullptr;
    idle_.wait(hold, [this] { return !busy_; });
  }

  // Ends the helper thread.
  void stop() {
    if (!running_) return;
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
      next_ = end_ = nullptr;
    }
    wake_.notify_one();
    ::pthread_join(thread_, nullptr);
    running_ = false;
    stopping_ = false;
  }

 private:
  // Pages are populated this many bytes at a time, so that pause() never waits long.
  static constexpr std::size_t kChunk = std::size_t{2} << 20;
  // Smaller growths are not worth a thread's wake-up.
  static constexpr std::size_t kWorthFrom = std::size_t{4} << 20;

  // Starts the thread with every signal blocked; false when there is no second processor.
  // REQUIRES: lock_ held.
  bool start() {
    cpu_set_t cpus;
    if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 2) {
      unable_ = true;
      return false;
    }
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    // Not std::thread: a thread that cannot start is no failure here, and saying so by an
    // exception would leave programs built without exceptions no way to go on.
    running_ = ::pthread_create(&thread_, nullptr, &Prefaulter::entry, this) == 0;
    unable_ = !running_;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return running_;
  }

  static void* entry(void* self) {
    static_cast<Prefaulter*>(self)->run();
    return nullptr;
  }

  void run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      wake_.wait(hold, [this] { return stopping_ || next_ < end_; });
      if (stopping_) return;
      char* const chunk = next_;
      const std::size_t bytes = static_cast<std::size_t>(end_ - next_) < kChunk
                                    ? static_cast<std::size_t>(end_ - next_)
                                    : kChunk;
      next_ += bytes;
      busy_ = true;
      hold.unlock();
#ifdef MADV_POPULATE_WRITE
      // A kernel without it says EINVAL: then nothing more is asked.
      const bool populated = ::madvise(chunk, bytes, MADV_POPULATE_WRITE) == 0 || errno != EINVAL;
#else
      const bool populated = false;
#endif
      hold.lock();
      busy_ = false;
      if (!populated) {
        unable_ = true;
        next_ = end_ = nullptr;
      }
      idle_.notify_all();
    }
  }

  pthread_t thread_{};
  bool running_ = false;  // thread_ was started and not yet joined
  std::mutex lock_;
  std::condition_variable wake_;  // work, or the end
  std::condition_variable idle_;  // busy_ became false
  char* next_ = nullptr;          // what is left to populate, guarded by lock_
  char* end_ = nullptr;
  bool busy_ = false;      // the helper is populating a chunk, guarded by lock_
  bool stopping_ = false;  // guarded by lock_
  bool unable_ = false;    // no second processor, no thread, or no populating in this kernel
};

}  // namespace internal
}  // namespace Tessel
