// What kind of text a name is.
#pragma once

#include <string>

// Whether `text` is valid UTF-8 (no overlong forms, surrogates or code points
// past U+10FFFF).
bool is_valid_utf8(const std::string& text);
bool is_ascii(const std::string& text);
