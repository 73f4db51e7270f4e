// How a long operation tells its caller how far it has come, and learns that
// it must stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// Counts an operation's bytes and reports them to a listener: after every
// entry, and whenever another kReportInterval bytes have gone by within one.
// Whoever runs the operation may ask it to stop through a flag; once asked,
// the operation ends as soon as it can and nothing more is reported.
class Progress {
 public:
  // `entry` is the entry being worked on, `done` the bytes of data handled so
  // far and `total` the bytes there are to handle, or -1 when that is not
  // known.
  using Listener = std::function<void(const std::string& entry, int64_t done, int64_t total)>;

  static constexpr int64_t kReportInterval = 4 * 1024 * 1024;

  // Nobody listens, nothing stops the operation.
  Progress() = default;
  Progress(Listener listener, const std::atomic<bool>* stop)
      : listener_(std::move(listener)), stop_(stop) {}

  // Whether anybody looks at the reports: an operation may skip work done
  // only for them (such as counting the bytes to do in advance) when not.
  bool wants_reports() const { return static_cast<bool>(listener_); }
  void set_total(int64_t total) { total_ = total; }

  // `bytes` more of `entry`'s data are done; false once a stop was asked for.
  bool add(const std::string& entry, int64_t bytes);
  // `entry` is done; false once a stop was asked for.
  bool finish_entry(const std::string& entry);
  bool stopped() const { return stop_ && stop_->load(std::memory_order_relaxed); }
  // A progress that reports nothing but stops when this one does: for work
  // done on other threads, whose reports its owner makes.
  Progress silent() const { return Progress(Listener(), stop_); }

 private:
  bool report(const std::string& entry);

  Listener listener_;
  const std::atomic<bool>* stop_ = nullptr;
  int64_t total_ = -1;
  int64_t done_ = 0;
  int64_t unreported_ = 0;
};
