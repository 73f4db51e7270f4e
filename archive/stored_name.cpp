#include "archive/stored_name.h"

#include "archive/utf8.h"

namespace stored_name {

bool text_of_utf8(const std::string& utf8, std::string* text) {
  text->clear();
  if (!is_valid_utf8(utf8)) return false;
  *text = utf8;
  return true;
}

}  // namespace stored_name
