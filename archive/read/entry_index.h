// Finding entries by name without reading the archive again: every name of an
// archive with its place in the archive's order.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>


struct EntryInfo;

class EntryIndex {
 public:
  // Records `entry` at `position`; entries come in the archive's order.
  void add(const EntryInfo& entry, int64_t position);
  // The place of the first entry that `wanted` names, or -1.
  int64_t find(const std::string& wanted) const;
  size_t memory_size() const;

  // Whether `wanted` names `entry`: the whole name, ASCII letters in any
  // case, '/' and '\' alike; a folder entry also answers to its name without
  // the trailing separator. An entry whose name has no form as text answers
  // to no name.
  static bool names(const std::string& wanted, const EntryInfo& entry);

 private:
  void add_key(std::string key, int64_t position);
  std::unordered_map<std::string, int64_t> positions_;
  size_t key_bytes_ = 0;
};
