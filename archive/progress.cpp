#include "archive/progress.h"

bool Progress::add(const std::string& entry, int64_t bytes) {
  done_ += bytes;
  unreported_ += bytes;
  if (unreported_ >= kReportInterval) return report(entry);
  return !stopped();
}

bool Progress::finish_entry(const std::string& entry) { return report(entry); }

bool Progress::report(const std::string& entry) {
  if (stopped()) return false;
  unreported_ = 0;
  if (listener_) listener_(entry, done_, total_);
  return !stopped();
}
