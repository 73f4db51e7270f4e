#include "archive/read/expansion_budget.h"

#include <limits>

void ExpansionBudget::reset(int64_t archive_size) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  limit_ = archive_size <= 0 ? 0
           : archive_size > kMax / kMaxRatio ? kMax
                                             : archive_size * kMaxRatio;
  charged_total_ = 0;
  charged_.clear();
}

bool ExpansionBudget::admits(size_t entry, int64_t bytes) {
  if (entry >= charged_.size()) charged_.resize(entry + 1, 0);
  int64_t& charged = charged_[entry];
  if (bytes <= charged) return true;
  // Both sides stay within range: charged <= bytes, charged_total_ <= limit_.
  if (bytes - charged > limit_ - charged_total_) return false;
  charged_total_ += bytes - charged;
  charged = bytes;
  return true;
}
