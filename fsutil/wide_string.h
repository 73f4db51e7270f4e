// Windows only: text between UTF-8 (or the ANSI code page) and the UTF-16 of
// the system's wide ("W") interfaces.
#pragma once

#include <string>

namespace fsutil {

constexpr unsigned kUtf8CodePage = 65001;  // CP_UTF8

// The system's ANSI code page (GetACP): 1252 on Western systems, 932 on
// Japanese ones.
unsigned ansi_code_page();

// `text` in `code_page` to UTF-16. Invalid sequences become U+FFFD.
std::wstring to_utf16(const std::string& text, unsigned code_page = kUtf8CodePage);
// UTF-16 to `code_page`. Characters the code page lacks become a best fit or
// '?'.
std::string from_utf16(const std::wstring& text, unsigned code_page = kUtf8CodePage);

}  // namespace fsutil
