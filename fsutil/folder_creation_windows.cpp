// Folder and file creation through the wide interfaces. Beneath a target
// folder nothing is followed: every folder on the way is opened with
// FILE_FLAG_OPEN_REPARSE_POINT, a link or junction there is refused, and the
// folders stay open without delete sharing until the file is created, so none
// of them can be swapped for a link meanwhile.
#include "fsutil/folder_creation.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

#include "fsutil/file_status.h"
#include "fsutil/wide_string.h"
#include "fsutil/win_handle.h"

namespace fsutil {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool has_attribute(HANDLE handle, DWORD attribute) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & attribute);
}

bool is_plain(HANDLE handle) { return !has_attribute(handle, FILE_ATTRIBUTE_REPARSE_POINT); }

bool is_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Opens the folder at `path`; with `no_follow` a link or junction there is
// refused instead of followed.
WinHandle open_folder(const std::wstring& path, bool no_follow) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (no_follow ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  WinHandle folder(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                               nullptr));
  if (!folder.is_open() || !has_attribute(folder.get(), FILE_ATTRIBUTE_DIRECTORY) ||
      (no_follow && !is_plain(folder.get()))) {
    return WinHandle();
  }
  return folder;
}

// Opening comes first: a walk mostly passes folders that exist.
WinHandle open_or_make_subfolder(const std::wstring& path) {
  WinHandle folder = open_folder(path, true);
  if (folder.is_open()) return folder;
  CreateDirectoryW(path.c_str(), nullptr);  // an existing folder is fine
  return open_folder(path, true);
}

// Whether a plain file (not a folder, link or junction) is at `path`; when
// not, the last error says what is.
bool is_plain_file(const std::wstring& path) {
  WinHandle existing(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!existing.is_open()) return false;
  if (!is_plain(existing.get())) {
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return false;
  }
  if (has_attribute(existing.get(), FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

std::wstring child(const std::wstring& folder, const std::string& name) {
  std::wstring path = folder;
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
  return path + to_utf16(name);
}

// Windows' reserved device names, which name a device in every folder,
// whatever extension follows.
bool is_device_name(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  std::transform(base.begin(), base.end(), base.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  const std::string number = base.substr(3);
  // Windows counts the superscript digits 1, 2 and 3 as ports too.
  return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
         number == "\xC2\xB2" || number == "\xC2\xB3";
}

}  // namespace

bool is_creatable_name(const std::string& name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == ':' || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' ||
        c == '*' || is_separator(static_cast<char>(c))) {
      return false;
    }
  }
  return !is_device_name(name);
}

bool make_parent_folders(const std::string& path) {
  size_t last = path.size();
  while (last > 0 && !is_separator(path[last - 1])) --last;
  if (last <= 1) return true;
  --last;  // at the separator before the file name
  DWORD failure = ERROR_SUCCESS;  // why the first folder that is not there could not be made
  const auto make = [&failure](const std::wstring& folder) {
    if (!CreateDirectoryW(folder.c_str(), nullptr) && failure == ERROR_SUCCESS) {
      const DWORD error = GetLastError();
      if (error != ERROR_ALREADY_EXISTS) failure = error;
    }
  };
  for (size_t i = 1; i < last; ++i) {
    // Drive roots ("C:") and the parts of a UNC prefix simply fail to be made.
    if (is_separator(path[i])) make(to_utf16(path.substr(0, i)));
  }
  const std::wstring parent = to_utf16(path.substr(0, last));
  make(parent);
  if (is_folder(parent)) return true;
  const DWORD attributes = GetFileAttributesW(parent.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_DIRECTORY);
  } else if (failure != ERROR_SUCCESS) {
    SetLastError(failure);
  }
  return false;
}

struct FileCreator::OpenFolders {
  std::vector<WinHandle> handles;
  std::wstring path;  // of the innermost folder
};

void FileCreator::OpenFoldersDeleter::operator()(OpenFolders* folders) const { delete folders; }

namespace {

// Opens root (which may itself be a link), then walks, creating, the first
// `count` components of `parts`, keeping every folder on the way open.
bool open_folders_beneath(const std::string& root, const std::vector<std::string>& parts,
                          size_t count, FileCreator::OpenFolders* folders) {
  folders->path = to_utf16(root);
  folders->handles.push_back(open_folder(folders->path, false));
  for (size_t i = 0; i < count && folders->handles.back().is_open(); ++i) {
    if (!is_creatable_name(parts[i])) return false;
    folders->path = child(folders->path, parts[i]);
    folders->handles.push_back(open_or_make_subfolder(folders->path));
  }
  return folders->handles.back().is_open();
}

}  // namespace

NewFile create_file_beneath(const std::string& root, const std::vector<std::string>& parts) {
  return FileCreator(root).create_file(parts);
}

bool FileCreator::reach_folder_of(const std::vector<std::string>& parts) {
  const size_t depth = parts.size() - 1;
  if (!folders_ || folder_parts_.size() != depth ||
      !std::equal(folder_parts_.begin(), folder_parts_.end(), parts.begin())) {
    folders_.reset(new (std::nothrow) OpenFolders);
    if (!folders_ || !open_folders_beneath(root_, parts, depth, folders_.get())) {
      folders_.reset();
      return false;
    }
    folder_parts_.assign(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(depth));
  }
  return true;
}

// A new file is made at its name in one call. Where something is already
// there it is looked at without being followed: a plain file is replaced
// once the new one is kept; a link, junction or folder fails the creation.
NewFile FileCreator::create_file(const std::vector<std::string>& parts) {
  if (parts.empty() || !is_creatable_name(parts.back()) || !reach_folder_of(parts)) return NewFile();
  const std::wstring path = child(folders_->path, parts.back());
  WinHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.is_open()) {
    const DWORD error = GetLastError();
    if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !is_plain_file(path)) {
      return NewFile();
    }
    std::string temporary;
    File made = create_temporary_file_in(from_utf16(folders_->path), &temporary);
    return made.is_open() ? NewFile(std::move(made), nullptr, std::move(temporary), from_utf16(path))
                          : NewFile();
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_WRONLY | _O_BINARY);
  if (fd < 0) return NewFile();
  file.release();
  return NewFile(File(fd), nullptr, from_utf16(path), std::string());
}

bool make_folders_beneath(const std::string& root, const std::vector<std::string>& parts) {
  FileCreator::OpenFolders folders;
  return open_folders_beneath(root, parts, parts.size(), &folders);
}

// The folder is opened once more, for its attributes, while the walk down to
// it (which refused links) holds every folder on the way.
bool set_folder_time_beneath(const std::string& root, const std::vector<std::string>& parts,
                             int64_t mtime) {
  FileCreator::OpenFolders folders;
  if (!open_folders_beneath(root, parts, parts.size(), &folders)) return false;
  WinHandle folder(CreateFileW(folders.path.c_str(), FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder.is_open()) return false;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(folder.get()), _O_RDONLY);
  if (fd < 0) return false;
  folder.release();
  const File owned(fd);
  return set_modification_time(owned.fd(), mtime);
}

}  // namespace fsutil
