// The module that holds this code, found from one of its own addresses, and
// its file name through the wide interface: a folder name outside the ANSI
// code page (or longer than MAX_PATH) comes back whole. Answered in UTF-8.
#include "fsutil/library_path.h"

#include <windows.h>

#include "fsutil/wide_string.h"

namespace fsutil {

std::string library_path() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&library_path), &module)) {
    return {};
  }
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(name.size());
    const DWORD length = GetModuleFileNameW(module, &name[0], size);
    if (length == 0) return {};
    if (length < size) {
      name.resize(length);
      break;
    }
    if (size >= 32768) return {};  // beyond the longest path Windows has
    name.resize(name.size() * 2);
  }
  // An extended-length name (\\?\C:\...) is given in its ordinary form.
  if (name.compare(0, 4, L"\\\\?\\") == 0 && name.size() > 6 && name[5] == L':') name.erase(0, 4);
  return from_utf16(name);
}

}  // namespace fsutil
