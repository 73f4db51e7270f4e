// Runs one native operation on a thread of its own while the thread that
// asked for it waits, so that the waiting thread can give up Ruby's global
// lock, be woken for interrupts, and run the progress block between chunks.
//
// Nothing here knows Ruby: the waiting side (ext/'s call machinery) calls wait()
// without the global lock and everything else with it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "archive/progress.h"
#include "fsutil/threads.h"

class BackgroundRun {
 public:
  using Work = std::function<bool(Progress&)>;

  struct Report {
    std::string entry;
    int64_t done = 0;
    int64_t total = -1;
  };

  enum class Event { report, finished, woken };

  // With `wants_reports`, every report waits until the waiting side has
  // answered it with resume(); without, the work only checks for a stop.
  explicit BackgroundRun(bool wants_reports) : wants_reports_(wants_reports) {}
  // Stops the work and waits for it.
  ~BackgroundRun();
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;

  // Starts `work` on a new thread; false when no thread could be started.
  bool start(Work work) noexcept;

  // Blocks until a report is waiting, the work has finished, or wake() was
  // called; at the latest after kPollInterval, answering `woken`.
  Event wait() noexcept;

  // Ruby calls the unblocking function that ends a wait for interrupts sent
  // by other threads, but not for signals: a signal only sets a flag that the
  // main thread finds when it next takes the global lock. So the waiting
  // thread looks in now and then, whether it was woken or not.
  static constexpr std::chrono::milliseconds kPollInterval{50};
  // Makes a wait() in progress (or the next one) return `woken`. Safe to call
  // from any thread.
  void wake() noexcept;

  // The report the work is waiting on, after wait() answered `report`.
  const Report& report() const { return report_; }
  // Lets the work go on from the waiting report.
  void resume() noexcept;
  // Asks the work to stop as soon as it can, and lets it go on from a
  // waiting report.
  void stop() noexcept;

  // Waits for the work to end and answers what it answered.
  bool finish() noexcept;

 private:
  void run() noexcept;
  // Called on the work's thread for every report of its Progress.
  void hand_over(const std::string& entry, int64_t done, int64_t total);

  const bool wants_reports_;
  Work work_;
  std::atomic<bool> stop_{false};
  fsutil::Thread thread_;
  fsutil::Mutex mutex_;
  fsutil::Condition changed_;
  Report report_;
  bool report_waiting_ = false;
  bool woken_ = false;
  bool finished_ = false;
  bool answer_ = false;
};
