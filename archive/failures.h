// How operations word and count their failures.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace failures {

// What kind of failure a reason tells of, for callers that handle kinds
// differently (the Ruby face raises a class per kind).
enum class Kind {
  other,
  not_archive,   // the archive given is no zip archive, or its directory contradicts itself
  password,      // a wrong or missing password
  no_entry,      // no entry by that name
  damaged,       // an entry's data or records are damaged
  unsafe,        // an entry that would lead outside the target
  invalid_name,  // a name that cannot be stored or looked up
  read_failed,   // a source or target could not be read (missing, unreadable)
  write_failed,  // the archive or a file could not be written (disk, stream)
  unsupported,   // a compression method or encryption not supported
  busy,          // another call holds the object
};

// A name or path as failure reasons show it.
inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace failures

// Counts the failures of an operation that goes on past them and keeps the
// reason and kind of the first.
class Failures {
 public:
  void add(std::string reason, failures::Kind kind = failures::Kind::other) {
    if (count_++ > 0) return;
    first_ = std::move(reason);
    first_kind_ = kind;
  }
  bool any() const { return count_ > 0; }
  failures::Kind kind() const { return first_kind_; }
  // The first reason, and how many failures there were when more than one.
  std::string summary() const {
    if (count_ <= 1) return first_;
    return first_ + " (the first of " + std::to_string(count_) + " failures)";
  }

 private:
  std::string first_;
  failures::Kind first_kind_ = failures::Kind::other;
  int64_t count_ = 0;
};
