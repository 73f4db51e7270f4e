// How operations word and count their failures.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace failures {

// A name or path as failure reasons show it.
inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace failures

// Counts the failures of an operation that goes on past them and keeps the
// reason of the first.
class Failures {
 public:
  void add(std::string reason) {
    if (count_++ == 0) first_ = std::move(reason);
  }
  bool any() const { return count_ > 0; }
  // The first reason, and how many failures there were when more than one.
  std::string summary() const {
    if (count_ <= 1) return first_;
    return first_ + " (the first of " + std::to_string(count_) + " failures)";
  }

 private:
  std::string first_;
  int64_t count_ = 0;
};
