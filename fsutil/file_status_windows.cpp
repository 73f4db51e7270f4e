// Times through the wide interfaces; Windows has no permission bits, so files
// and folders answer the modes archives have always recorded for them here.
#include "fsutil/file_status.h"

#include <io.h>
#include <windows.h>

#include <cstdint>

#include "fsutil/wide_string.h"

namespace fsutil {

namespace {

constexpr uint32_t kFilePermissions = 0644;
constexpr uint32_t kFolderPermissions = 0755;
// FILETIME counts 100-nanosecond steps from 1601-01-01 (UTC).
constexpr int64_t kStepsPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
// The last second a FILETIME holds (in the year 30828).
constexpr int64_t kLatestSince1601 = INT64_MAX / kStepsPerSecond;

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

int64_t unix_time_of(const FILETIME& time) {
  const uint64_t steps = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<int64_t>(steps / kStepsPerSecond) - kSecondsFrom1601To1970;
}

}  // namespace

bool status_of_open_file(int fd, FileStatus* status) {
  FILETIME written;
  if (!GetFileTime(handle_of(fd), nullptr, nullptr, &written)) return false;
  status->mtime = unix_time_of(written);
  status->permissions = kFilePermissions;
  return true;
}

bool status_of_folder(const std::string& path, FileStatus* status) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(to_utf16(path).c_str(), GetFileExInfoStandard, &data)) return false;
  status->mtime = unix_time_of(data.ftLastWriteTime);
  status->permissions = kFolderPermissions;
  return true;
}

bool is_regular_file(int fd) {
  BY_HANDLE_FILE_INFORMATION info;
  const HANDLE handle = handle_of(fd);
  return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool set_modification_time(int fd, int64_t mtime) {
  const int64_t since_1601 = mtime + kSecondsFrom1601To1970;
  if (since_1601 < 0 || since_1601 > kLatestSince1601) return false;
  const uint64_t steps = static_cast<uint64_t>(since_1601) * kStepsPerSecond;
  FILETIME written;
  written.dwLowDateTime = static_cast<DWORD>(steps);
  written.dwHighDateTime = static_cast<DWORD>(steps >> 32);
  return SetFileTime(handle_of(fd), nullptr, nullptr, &written) != 0;
}

bool set_permissions(int, uint32_t) { return true; }

uint32_t permissions_the_umask_allows() { return 0777; }

}  // namespace fsutil
