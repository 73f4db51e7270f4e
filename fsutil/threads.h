// The thread, mutex and condition variable the extension's background work
// uses. On Linux they are the standard library's. On Windows they are thin
// wrappers of the system's own (CreateThread, SRW locks, condition
// variables): GCC's standard ones there rest on winpthread, which, linked
// into the extension statically, leaves Ruby 2.7's global lock abandoned
// once a thread of ours has ended.
#pragma once

#ifndef _WIN32

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace fsutil {
using Thread = std::thread;
using Mutex = std::mutex;
using Condition = std::condition_variable;

// Names the calling thread as `top -H`, gdb and /proc show it (at most 15
// characters).
inline void name_this_thread(const char* name) { pthread_setname_np(pthread_self(), name); }
}  // namespace fsutil

#else

#include <chrono>
#include <functional>
#include <mutex>

namespace fsutil {

// Runs a function on a new thread; join() waits for it to end.
class Thread {
 public:
  Thread() = default;
  explicit Thread(std::function<void()> function);  // throws std::system_error
  Thread(Thread&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  bool joinable() const { return handle_ != nullptr; }
  void join();
  // The number of processors, as std::thread answers it.
  static unsigned hardware_concurrency();

 private:
  void* handle_ = nullptr;
};

// Thread names (SetThreadDescription) exist from Windows 10 on only: the
// threads stay unnamed there.
inline void name_this_thread(const char*) {}

// A lock for std::lock_guard and std::unique_lock.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();

 private:
  friend class Condition;
  void* lock_ = nullptr;  // SRWLOCK, statically initialised to null
};

class Condition {
 public:
  Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  void notify_all();
  template <typename Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    while (!ready()) sleep(*lock.mutex(), kForever);
  }
  // Answers ready() as of the end of the wait.
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, std::chrono::duration<Rep, Period> timeout,
                Predicate ready) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return ready();
      sleep(*lock.mutex(), static_cast<unsigned long>(left.count()));
    }
    return true;
  }

 private:
  static constexpr unsigned long kForever = 0xFFFFFFFF;  // INFINITE
  void sleep(Mutex& mutex, unsigned long milliseconds);
  void* condition_ = nullptr;  // CONDITION_VARIABLE, statically initialised to null
};

}  // namespace fsutil

#endif
