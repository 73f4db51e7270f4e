#include "fsutil/wide_string.h"

#include <windows.h>

#include <climits>

namespace fsutil {

unsigned ansi_code_page() { return GetACP(); }

std::wstring to_utf16(const std::string& text, unsigned code_page) {
  if (text.empty() || text.size() > INT_MAX) return std::wstring();
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), length, &wide[0], needed);
  return wide;
}

std::string from_utf16(const std::wstring& text, unsigned code_page) {
  if (text.empty() || text.size() > INT_MAX) return std::string();
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(code_page, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string narrow(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), length, &narrow[0], needed, nullptr, nullptr);
  return narrow;
}

}  // namespace fsutil
