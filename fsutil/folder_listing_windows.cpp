// Listing through FindFirstFileW/FindNextFileW. The folder attribute alone
// decides what an item is: folders, and links or junctions to folders, are
// folders; everything else is a file, which the caller then opens (a broken
// link simply fails to open). The archive attribute plays no part.
#include "fsutil/folder_listing.h"

#include "fsutil/file.h"

#include <windows.h>

#include <memory>
#include <type_traits>
#include <utility>

#include "fsutil/wide_string.h"
#include "fsutil/win_handle.h"

namespace fsutil {

namespace {

struct FindCloser {
  void operator()(HANDLE handle) const { FindClose(handle); }
};
using FindHandle = std::unique_ptr<std::remove_pointer<HANDLE>::type, FindCloser>;

bool ends_with_separator(const std::string& path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

bool is_excluded_folder(const std::wstring& name) {
  return name == L"." || name == L".." || name == L".svn";
}

}  // namespace

std::vector<FolderItem> list_folder_items(const std::string& folder, bool files, bool folders,
                                          std::string* failure, const std::string& pattern) {
  std::vector<FolderItem> items;
  if (folder.empty()) {
    if (failure) *failure = "no folder named";
    return items;
  }
  const std::string query = ends_with_separator(folder) ? folder + pattern : folder + '\\' + pattern;
  WIN32_FIND_DATAW item;
  FindHandle find(FindFirstFileExW(to_utf16(query).c_str(), FindExInfoBasic, &item,
                                   FindExSearchNameMatch, nullptr, 0));
  if (find.get() == INVALID_HANDLE_VALUE) {
    find.release();
    if (failure) *failure = last_error_text();
    return items;
  }
  do {
    const std::wstring name = item.cFileName;
    const bool hidden = (item.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (folders && !is_excluded_folder(name)) items.push_back({from_utf16(name), hidden});
    } else if (files) {
      items.push_back({from_utf16(name), hidden});
    }
  } while (FindNextFileW(find.get(), &item));
  if (GetLastError() != ERROR_NO_MORE_FILES && failure) *failure = last_error_text();
  return items;
}

// Volume serial number and file index: Windows' counterpart of device and
// inode. Links and junctions are followed.
bool folder_id(const std::string& path, FileId* id) {
  WinHandle folder(CreateFileW(to_utf16(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!folder.is_open() || !GetFileInformationByHandle(folder.get(), &info)) return false;
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  id->volume = info.dwVolumeSerialNumber;
  id->index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace fsutil
