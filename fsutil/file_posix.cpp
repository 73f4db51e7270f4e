#include "fsutil/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fsutil {

namespace {

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

File File::open_regular_for_reading(const std::string& path) {
  // O_NONBLOCK keeps open() of a FIFO from waiting for a writer.
  File file(open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK));
  if (!file.is_open()) return file;
  struct stat st;
  if (::fstat(file.fd_, &st) != 0) return File();
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return File();
  }
  int flags = ::fcntl(file.fd_, F_GETFL);
  if (flags < 0 || ::fcntl(file.fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return File();
  return file;
}

File File::open_for_reading(const std::string& path) {
  return File(open_retrying(path.c_str(), O_RDONLY));
}

File File::create(const std::string& path) {
  return File(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
}

bool File::identity(FileId* id) const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  id->volume = st.st_dev;
  id->index = st.st_ino;
  return true;
}

int64_t File::size() const { return fd_ < 0 ? -1 : file_size(fd_); }

File File::duplicate() const {
  return File(fd_ < 0 ? -1 : ::fcntl(fd_, F_DUPFD_CLOEXEC, 0));
}

long long File::read(char* buffer, size_t n) {
  ssize_t got;
  do {
    got = ::read(fd_, buffer, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool File::write_all(const char* data, size_t n) {
  while (n > 0) {
    ssize_t put = ::write(fd_, data, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

bool File::close() {
  if (fd_ < 0) return true;
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  return ::close(release()) == 0;
}

long long read_at(int fd, char* buffer, size_t n, int64_t offset) {
  ssize_t got;
  do {
    got = ::pread(fd, buffer, n, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got;
}

int64_t file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool cut_to(int fd, int64_t size) {
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0 &&
         ::lseek(fd, static_cast<off_t>(size), SEEK_SET) == static_cast<off_t>(size);
}

std::string last_error_text() { return error_text(errno); }

std::string error_text(int code) {
  // strerror_r in its GNU form: it answers the text, not always in `buffer`.
  char buffer[256];
  return ::strerror_r(code, buffer, sizeof buffer);
}

}  // namespace fsutil
