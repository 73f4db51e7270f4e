#include "archive/read/entry_index.h"

#include "archive/read/central_directory.h"

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The form in which names are compared: ASCII letters folded to lower case,
// every separator a '/'.
std::string lookup_key(const std::string& name, size_t length) {
  std::string key(name, 0, length);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '\\') c = '/';
  }
  return key;
}

bool is_folder_with_separator(const EntryInfo& entry) {
  return entry.is_folder && !entry.name.empty() && is_separator(entry.name.back());
}

}  // namespace

void EntryIndex::add(const EntryInfo& entry, int64_t position) {
  if (!entry.name_ok) return;  // a name with no form as text answers to nothing
  add_key(lookup_key(entry.name, entry.name.size()), position);
  if (is_folder_with_separator(entry)) {
    add_key(lookup_key(entry.name, entry.name.size() - 1), position);
  }
}

// Only the first entry of a name counts, as a search from the first entry
// would find it.
void EntryIndex::add_key(std::string key, int64_t position) {
  const size_t bytes = key.size();
  if (positions_.emplace(std::move(key), position).second) key_bytes_ += bytes;
}

int64_t EntryIndex::find(const std::string& wanted) const {
  auto found = positions_.find(lookup_key(wanted, wanted.size()));
  return found == positions_.end() ? -1 : found->second;
}

size_t EntryIndex::memory_size() const {
  // Nodes with their key and position, plus the bucket array.
  return positions_.size() * (sizeof(std::string) + sizeof(int64_t) + 2 * sizeof(void*)) +
         key_bytes_ + positions_.bucket_count() * sizeof(void*);
}

bool EntryIndex::names(const std::string& wanted, const EntryInfo& entry) {
  if (!entry.name_ok) return false;
  const std::string key = lookup_key(wanted, wanted.size());
  if (key == lookup_key(entry.name, entry.name.size())) return true;
  return is_folder_with_separator(entry) && key == lookup_key(entry.name, entry.name.size() - 1);
}
