#include "archive/progress.h"

namespace {

class Silent final : public Progress {
 public:
  bool report(const std::string&, int64_t, int64_t) override { return true; }
  bool wants_reports() const override { return false; }
};

}  // namespace

Progress& no_progress() {
  static Silent silent;
  return silent;
}

bool ProgressMeter::add(const std::string& entry, int64_t bytes) {
  done_ += bytes;
  unreported_ += bytes;
  if (unreported_ >= Progress::kReportInterval) return report(entry);
  return !stopped_;
}

bool ProgressMeter::finish_entry(const std::string& entry) { return report(entry); }

bool ProgressMeter::report(const std::string& entry) {
  if (stopped_) return false;
  unreported_ = 0;
  stopped_ = !progress_.report(entry, done_, total_);
  return !stopped_;
}
