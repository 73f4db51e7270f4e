// What kind of text a name is.
#pragma once

#include <string>

namespace utf8 {

// Whether `text` is valid UTF-8 (no overlong forms, surrogates or code points
// past U+10FFFF).
bool is_valid(const std::string& text);
bool is_ascii(const std::string& text);

}  // namespace utf8
