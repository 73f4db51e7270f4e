// Text conversion between Ruby's UTF-8 and the narrow character set that file
// names, entry names and passwords use on disk: the process locale's charset,
// except that an ASCII charset (the C/POSIX locale) counts as UTF-8.
#pragma once

#include <string>

// UTF-8 (up to the first NUL) to the locale's charset. Characters the charset
// lacks become a best fit or '?'; invalid UTF-8 never fails.
std::string utf8_to_ansi(const char* text);
// The locale's charset (up to the first NUL) to UTF-8.
std::string ansi_to_utf8(const char* text);
// Replaces every `from` in `text` by `to`.
void replace_char(std::string& text, char from, char to);
