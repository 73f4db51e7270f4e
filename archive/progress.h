// How a long operation tells its caller how far it has come, and learns that
// it must stop.
#pragma once

#include <cstdint>
#include <string>

class Progress {
 public:
  // Called after each entry and at least every kReportInterval bytes of data.
  // `entry` is the entry being worked on, `done` the bytes of data handled so
  // far and `total` the bytes there are to handle, or -1 when that is not
  // known. Answers false when the operation must stop as soon as it can.
  virtual bool report(const std::string& entry, int64_t done, int64_t total) = 0;
  // Whether anybody looks at the reports: an operation may skip work done
  // only for them (such as counting the bytes to do in advance) when not.
  virtual bool wants_reports() const = 0;

  static constexpr int64_t kReportInterval = 4 * 1024 * 1024;

 protected:
  ~Progress() = default;
};

// A Progress that wants no reports and never stops anything.
Progress& no_progress();

// Counts an operation's bytes and reports them through a Progress: after every
// entry, and whenever another kReportInterval bytes have gone by within one.
// Once the Progress has asked to stop, nothing more is reported.
class ProgressMeter {
 public:
  ProgressMeter(Progress& progress, int64_t total) : progress_(progress), total_(total) {}

  // `bytes` more of `entry`'s data are done; false once a stop was asked for.
  bool add(const std::string& entry, int64_t bytes);
  // `entry` is done; false once a stop was asked for.
  bool finish_entry(const std::string& entry);
  bool stopped() const { return stopped_; }
  void set_total(int64_t total) { total_ = total; }

 private:
  bool report(const std::string& entry);

  Progress& progress_;
  int64_t total_;
  int64_t done_ = 0;
  int64_t unreported_ = 0;
  bool stopped_ = false;
};
