#include "ext/string_conversion.h"

#include "archive/utf8.h"
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
// code page's bytes or UTF-8. The ANSI form is taken only where it spells
// the password exactly (converted back it gives the same text): a best fit
// or '?' would make another, weaker password.
std::string password_key(const std::string& utf8) {
  if (!is_valid_utf8(utf8)) return utf8;
  const std::wstring wide = fsutil::to_utf16(utf8);
  const unsigned ansi_page = fsutil::ansi_code_page();
  const std::string ansi = fsutil::from_utf16(wide, ansi_page);
  return fsutil::to_utf16(ansi, ansi_page) == wide ? ansi : utf8;
}

// When the two forms differ, reading tries both.
std::string password_alternative(const std::string& utf8) {
  return password_key(utf8) == utf8 ? std::string() : utf8;
}
