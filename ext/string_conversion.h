// Text conversion between Ruby's UTF-8 and the forms the native layer uses.
//
// Paths (and names found on disk): on Linux the process locale's charset,
// which is how the file system takes them there; on Windows UTF-8, which the
// native layer widens to UTF-16 for the system. Entry names are UTF-8
// throughout and never come here.
// Passwords arrive as UTF-8 (or bytes) and are never changed: see
// password_key. On Linux an ASCII charset (the C/POSIX locale) counts as
// UTF-8.
#pragma once

#include <string>

// UTF-8 (up to the first NUL) to a path for the native layer.
std::string utf8_to_native_name(const char* text);
// A path from the native layer to UTF-8.
std::string native_name_to_utf8(const char* text);

// UTF-8 (up to the first NUL) to the narrow charset (the locale's on Linux,
// the ANSI code page on Windows). Characters the charset lacks become a best
// fit or '?'; invalid UTF-8 never fails.
std::string utf8_to_ansi(const char* text);
// The narrow charset (up to the first NUL) to UTF-8.
std::string ansi_to_utf8(const char* text);

// The key material of a password given as UTF-8 (or bytes that are not):
// on Linux those bytes, which is what 7-Zip, bsdtar and Python take; on
// Windows its ANSI code page bytes where they spell it exactly (what
// archives made there have always used), else those bytes. Never a
// substitute character.
std::string password_key(const std::string& utf8);
// Another key reading also tries, or empty: on Windows the UTF-8 bytes where
// the key is the ANSI form; on Linux the locale's bytes where they spell the
// password exactly and differ (earlier versions keyed with them).
std::string password_alternative(const std::string& utf8);
// Replaces every `from` in `text` by `to`.
void replace_char(std::string& text, char from, char to);
