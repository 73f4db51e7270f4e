#include "ext/string_conversion.h"

void replace_char(std::string& text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
}
