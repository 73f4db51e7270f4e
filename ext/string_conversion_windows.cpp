#include "ext/string_conversion.h"

#include "fsutil/wide_string.h"

// The native layer works in UTF-8 on Windows: names and paths pass through.
std::string utf8_to_native_name(const char* text) { return text; }

std::string native_name_to_utf8(const char* text) { return text; }

std::string utf8_to_ansi(const char* text) {
  return fsutil::from_utf16(fsutil::to_utf16(text), fsutil::ansi_code_page());
}

std::string ansi_to_utf8(const char* text) {
  return fsutil::from_utf16(fsutil::to_utf16(text, fsutil::ansi_code_page()));
}

// Tools on Windows derive the key from either form of a password: the ANSI
// code page's bytes or UTF-8. When the two differ, reading tries both.
std::string utf8_password_alternative(const char* text) {
  const std::string utf8 = text;
  return utf8 == utf8_to_ansi(text) ? std::string() : utf8;
}
