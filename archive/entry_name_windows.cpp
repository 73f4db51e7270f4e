// Names are UTF-8 in the native layer on Windows; entry names separate with
// '/' only, so a '\' (the system's separator) is stored as '/'.
#include <algorithm>

#include "archive/entry_name.h"
#include "archive/utf8.h"

namespace entry_name {

bool stored_form(const std::string& native, std::string* stored) {
  *stored = native;
  std::replace(stored->begin(), stored->end(), '\\', '/');
  return is_valid_utf8(*stored);
}

}  // namespace entry_name
