// Names are UTF-8 in the native layer on Windows; entry names separate with
// '/' only, so a '\' (the system's separator) is stored as '/'.
#include <algorithm>

#include "archive/entry_name.h"
#include "archive/utf8.h"

namespace entry_name {

std::string from_given(const std::string& utf8) {
  std::string stored = utf8;
  std::replace(stored.begin(), stored.end(), '\\', '/');
  return stored;
}

bool stored_form(const std::string& native, std::string* stored) {
  *stored = from_given(native);
  return is_valid_utf8(*stored);
}

std::string shown(const std::string& native) { return native; }

}  // namespace entry_name
