// Files are opened through the wide interfaces by their UTF-16 names and then
// handed to the C runtime as descriptors, which libarchive reads and writes.
#include "fsutil/file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "fsutil/wide_string.h"

namespace fsutil {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The last error "Not a regular file": bit 29 marks codes of an application's own.
constexpr DWORD kNotRegularFile = (1u << 29) | 1;

HANDLE open_handle(const std::string& path, DWORD access, DWORD disposition) {
  return CreateFileW(to_utf16(path).c_str(), access, kShareAll, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A descriptor owning `handle`; the handle is closed when that fails.
File adopt(HANDLE handle, int flags) {
  if (handle == INVALID_HANDLE_VALUE) return File();
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return File();
  }
  return File(fd);
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

bool is_regular_file(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A name no entry is likely to have, different for every file this process
// asks for, and short enough in any folder.
std::string temporary_name() {
  static std::atomic<unsigned long> made{0};
  return ".parvox-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made) + ".tmp";
}

// The path of the file `handle` is open on, links resolved, in the form
// with the \\?\ prefix; empty when the system cannot tell.
std::wstring final_path_of(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // the room it asks for, its terminator included
  }
}

// The C runtime reads and writes at most INT_MAX bytes per call.
unsigned int clamp_count(size_t n) {
  return static_cast<unsigned int>(std::min<size_t>(n, INT_MAX));
}

}  // namespace

File File::open_regular_for_reading(const std::string& path) {
  HANDLE handle = open_handle(path, GENERIC_READ, OPEN_EXISTING);
  if (handle != INVALID_HANDLE_VALUE && !is_regular_file(handle)) {
    CloseHandle(handle);
    set_not_regular_file_error();
    return File();
  }
  return adopt(handle, _O_RDONLY);
}

File File::open_for_reading(const std::string& path) {
  return adopt(open_handle(path, GENERIC_READ, OPEN_EXISTING), _O_RDONLY);
}

File File::create(const std::string& path) {
  return adopt(open_handle(path, GENERIC_WRITE, CREATE_ALWAYS), _O_WRONLY);
}

void discard_created_file(File& file, const std::string& path) {
  const bool regular = file.is_open() && is_regular_file(handle_of(file.fd()));
  file.close();
  if (regular) DeleteFileW(to_utf16(path).c_str());
}

File create_temporary_file_in(const std::string& folder, std::string* name) {
  const bool ends_in_separator = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = folder + (ends_in_separator ? "" : "\\") + temporary_name();
    HANDLE handle = CreateFileW(to_utf16(*name).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return adopt(handle, _O_WRONLY);
    }
  }
  return File();
}

// Beside the file itself where `path` is a link to it: the link stays, and
// leads to the new file once it is kept.
NewFile NewFile::create(const std::string& path) {
  HANDLE existing = CreateFileW(to_utf16(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing == INVALID_HANDLE_VALUE || !is_regular_file(existing)) {
    if (existing != INVALID_HANDLE_VALUE) CloseHandle(existing);
    return NewFile(File::create(path), nullptr, path, std::string());
  }
  const std::wstring real = final_path_of(existing);
  CloseHandle(existing);
  const size_t separator = real.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return NewFile();
  std::string name;
  File file = create_temporary_file_in(from_utf16(real.substr(0, separator)), &name);
  if (!file.is_open()) return NewFile();
  return NewFile(std::move(file), nullptr, std::move(name), from_utf16(real));
}

// The file is closed before it is renamed: a file open elsewhere cannot be
// moved over another.
bool NewFile::keep() {
  if (!file_.is_open()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const bool regular = is_regular_file(handle_of(file_.fd()));
  if (file_.close() &&
      (target_.empty() || MoveFileExW(to_utf16(name_).c_str(), to_utf16(target_).c_str(),
                                      MOVEFILE_REPLACE_EXISTING))) {
    return true;
  }
  const DWORD error = GetLastError();
  if (regular) DeleteFileW(to_utf16(name_).c_str());
  SetLastError(error);
  return false;
}

bool NewFile::keep_durably() {
  if (!file_.is_open()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const bool regular = is_regular_file(handle_of(file_.fd()));
  if (file_.sync() && file_.close() &&
      (target_.empty() || MoveFileExW(to_utf16(name_).c_str(), to_utf16(target_).c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))) {
    return true;
  }
  const DWORD error = GetLastError();
  file_.close();
  if (regular) DeleteFileW(to_utf16(name_).c_str());
  SetLastError(error);
  return false;
}

void NewFile::discard() {
  if (file_.is_open()) discard_created_file(file_, name_);
}

// Windows has no files that wait to be read like /proc's.
bool File::never_wait_on_reads() { return fd_ >= 0; }

bool File::identity(FileId* id) const {
  return fd_ >= 0 && identity_of_handle(reinterpret_cast<intptr_t>(handle_of(fd_)), id);
}

// Volume serial number and file index: Windows' counterpart of device and
// inode.
bool identity_of_handle(intptr_t handle, FileId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &info)) return false;
  id->volume = info.dwVolumeSerialNumber;
  id->index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

int64_t File::size() const { return fd_ < 0 ? -1 : file_size(fd_); }

File File::duplicate() const {
  HANDLE copy = nullptr;
  if (fd_ < 0 || !DuplicateHandle(GetCurrentProcess(), handle_of(fd_), GetCurrentProcess(), &copy, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS)) {
    return File();
  }
  return adopt(copy, _O_RDONLY);
}

// Opened anew rather than duplicated: a duplicate shares the file's position,
// which ReadFile at an offset moves.
File File::duplicate_regular(intptr_t handle) {
  const auto original = reinterpret_cast<HANDLE>(handle);
  if (original == INVALID_HANDLE_VALUE || GetFileType(original) != FILE_TYPE_DISK) {
    set_not_regular_file_error();
    return File();
  }
  HANDLE copy = ReOpenFile(original, GENERIC_READ, kShareAll, 0);
  if (copy == INVALID_HANDLE_VALUE) return File();
  if (GetFileType(copy) != FILE_TYPE_DISK) {
    CloseHandle(copy);
    set_not_regular_file_error();
    return File();
  }
  return adopt(copy, _O_RDONLY);
}

long long File::read(char* buffer, size_t n) { return _read(fd_, buffer, clamp_count(n)); }

bool File::write_all(const char* data, size_t n) {
  while (n > 0) {
    const int put = _write(fd_, data, clamp_count(n));
    if (put <= 0) return false;
    data += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool File::close() {
  if (fd_ < 0) return true;
  return _close(release()) == 0;
}

bool File::sync() { return fd_ >= 0 && FlushFileBuffers(handle_of(fd_)); }

bool copy_range(int from, int64_t offset, int64_t size, File& to) {
  constexpr size_t kBlock = 1 << 20;
  std::unique_ptr<char[]> block(new (std::nothrow) char[kBlock]);
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  while (size > 0) {
    const long long got =
        read_at(from, block.get(), static_cast<size_t>(std::min<int64_t>(size, kBlock)), offset);
    if (got <= 0) {
      if (got == 0) SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    if (!to.write_all(block.get(), static_cast<size_t>(got))) return false;
    offset += got;
    size -= got;
  }
  return true;
}

int64_t file_size(int fd) {
  LARGE_INTEGER size;
  if (fd < 0 || !GetFileSizeEx(handle_of(fd), &size)) return -1;
  return size.QuadPart;
}

bool cut_to(int fd, int64_t size) {
  return _chsize_s(fd, size) == 0 && _lseeki64(fd, size, SEEK_SET) == size;
}

// ReadFile at an explicit offset: each call names its own position, so
// readers sharing the handle never disturb each other.
long long read_at(int fd, char* buffer, size_t n, int64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD got = 0;
  if (ReadFile(handle_of(fd), buffer, clamp_count(n), &got, &at)) return got;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

// The text of the calling thread's last system error (GetLastError), as
// Windows words it, in UTF-8.
std::string last_error_text() {
  const DWORD code = GetLastError();
  if (code == kNotRegularFile) return "Not a regular file";
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length ? std::wstring(text, length) : std::wstring();
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L'.' || message.back() == L' ')) {
    message.pop_back();
  }
  return message.empty() ? "system error " + std::to_string(code) : from_utf16(message);
}

// An errno code, as the C runtime (and so libarchive) reports them.
std::string error_text(int code) { return std::strerror(code); }

void set_not_regular_file_error() { SetLastError(kNotRegularFile); }

}  // namespace fsutil
