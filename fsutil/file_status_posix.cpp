#include "fsutil/file_status.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

namespace fsutil {

namespace {

constexpr uint32_t kPermissionBits = 0777;

void take_status(const struct stat& st, FileStatus* status) {
  status->mtime = static_cast<int64_t>(st.st_mtime);
  status->permissions = st.st_mode & kPermissionBits;
}

}  // namespace

bool status_of_open_file(int fd, FileStatus* status) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  take_status(st, status);
  return true;
}

bool status_of_folder(const std::string& path, FileStatus* status) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  take_status(st, status);
  return true;
}

bool is_regular_file(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool set_modification_time(int fd, int64_t mtime) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(mtime);
  times[1].tv_nsec = 0;
  return ::futimens(fd, times) == 0;
}

bool set_permissions(int fd, uint32_t permissions) {
  return ::fchmod(fd, static_cast<mode_t>(permissions & kPermissionBits)) == 0;
}

// umask() can only be read by setting it, which for a moment would give other
// threads' new files no umask at all; Linux shows it in /proc (since 4.7).
uint32_t permissions_the_umask_allows() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "Umask:") != 0) continue;
    try {
      return kPermissionBits & ~static_cast<uint32_t>(std::stoul(line.substr(6), nullptr, 8));
    } catch (...) {
      break;
    }
  }
  return 0700;
}

}  // namespace fsutil
