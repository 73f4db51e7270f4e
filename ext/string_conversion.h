// Text conversion between Ruby's UTF-8 and the forms the native layer uses.
//
// Names and paths: on Linux the process locale's charset, which is how the
// file system and libarchive take them there; on Windows UTF-8, which the
// native layer widens to UTF-16 for the system and libarchive.
// Passwords: the narrow "ANSI" charset (the locale's charset on Linux, the
// ANSI code page on Windows), whose bytes are the key material.
// On Linux an ASCII charset (the C/POSIX locale) counts as UTF-8.
#pragma once

#include <string>

// UTF-8 (up to the first NUL) to a name or path for the native layer.
std::string utf8_to_native_name(const char* text);
// A name or path from the native layer to UTF-8.
std::string native_name_to_utf8(const char* text);

// UTF-8 (up to the first NUL) to the narrow charset. Characters the charset
// lacks become a best fit or '?'; invalid UTF-8 never fails.
std::string utf8_to_ansi(const char* text);
// The narrow charset (up to the first NUL) to UTF-8.
std::string ansi_to_utf8(const char* text);
// A second form of the UTF-8 password `text` that reading an archive also
// accepts, or empty when there is none.
std::string utf8_password_alternative(const char* text);
// Replaces every `from` in `text` by `to`.
void replace_char(std::string& text, char from, char to);
