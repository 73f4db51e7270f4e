#include "fsutil/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fsutil {

namespace {

// errno for "Not a regular file", a value no system call sets.
constexpr int kNotRegularFile = 1 << 20;

int open_retrying(int folder, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

File not_regular() {
  set_not_regular_file_error();
  return File();
}

// Opening these could wait for the other end (a FIFO), or fails anyway.
bool is_pipe_or_socket(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode); }

bool is_special(mode_t mode) { return is_pipe_or_socket(mode) || S_ISCHR(mode) || S_ISBLK(mode); }

// Whether a file of this kind may be written: devices only when asked for by path.
bool is_writable_kind(mode_t mode, bool beneath_target) {
  return beneath_target ? !is_special(mode) : !is_pipe_or_socket(mode);
}

// A file opened with O_NONBLOCK, so that opening it could not wait: refused
// unless `accept` takes its kind, else made blocking again for its reads and
// writes.
template <typename Accept>
File settled(File file, Accept accept) {
  struct stat st;
  if (!file.is_open()) return file;
  if (::fstat(file.fd(), &st) != 0) return File();
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return File();
  }
  if (!accept(st.st_mode)) return not_regular();
  const int flags = ::fcntl(file.fd(), F_GETFL);
  if (flags < 0 || ::fcntl(file.fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) return File();
  return file;
}

}  // namespace

File File::open_regular_for_reading(const std::string& path) {
  // O_NONBLOCK keeps open() of a FIFO from waiting for a writer.
  return settled(File(open_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK)),
                 [](mode_t mode) { return S_ISREG(mode); });
}

File File::open_for_reading(const std::string& path) {
  return File(open_retrying(AT_FDCWD, path.c_str(), O_RDONLY));
}

File File::create(const std::string& path) { return create_file_at(AT_FDCWD, path, false); }

// A new file is regular, so the usual case costs one call. An existing one is
// looked at before it is opened: opening a FIFO for writing would wake a
// process reading it, and opening a device can mean something to it. The
// open itself does not block either, should the file change meanwhile.
// Beneath the target, an existing file with other names (hard links, which
// may be outside the target) is replaced by a new file, never written.
File create_file_at(int folder, const std::string& name, bool beneath_target) {
  const int no_follow = beneath_target ? O_NOFOLLOW : 0;
  const int create_new = O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | no_follow;
  File file(open_retrying(folder, name.c_str(), create_new, 0666));
  if (file.is_open() || errno != EEXIST) return file;
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, beneath_target ? AT_SYMLINK_NOFOLLOW : 0) == 0 &&
      !S_ISLNK(st.st_mode) && !is_writable_kind(st.st_mode, beneath_target)) {
    return not_regular();
  }
  const auto accept = [beneath_target](mode_t mode) { return is_writable_kind(mode, beneath_target); };
  // Beneath the target only a regular file is accepted: it is cut once it is
  // known to have no other name.
  const int truncate = beneath_target ? 0 : O_TRUNC;
  file = settled(File(open_retrying(folder, name.c_str(),
                                    O_WRONLY | O_CREAT | truncate | O_NOCTTY | O_NONBLOCK | no_follow,
                                    0666)),
                 accept);
  if (!file.is_open() && errno == ENXIO) return not_regular();  // a FIFO without a reader
  if (!beneath_target || !file.is_open()) return file;
  if (::fstat(file.fd(), &st) != 0) return File();
  if (st.st_nlink > 1) {
    file.close();
    if (::unlinkat(folder, name.c_str(), 0) != 0) return File();
    return File(open_retrying(folder, name.c_str(), create_new, 0666));
  }
  return cut_to(file.fd(), 0) ? std::move(file) : File();
}

void discard_created_file(File& file, const std::string& path) {
  discard_file_at(AT_FDCWD, path, file);
}

void discard_file_at(int folder, const std::string& name, File& file) {
  struct stat opened, named;
  if (file.is_open() && ::fstat(file.fd(), &opened) == 0 && S_ISREG(opened.st_mode)) {
    const bool same = ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                      named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
    if (!same || ::unlinkat(folder, name.c_str(), 0) != 0) cut_to(file.fd(), 0);
  }
  file.close();
}

bool File::never_wait_on_reads() {
  const int flags = fd_ < 0 ? -1 : ::fcntl(fd_, F_GETFL);
  return flags >= 0 && ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool File::identity(FileId* id) const { return fd_ >= 0 && identity_of_handle(fd_, id); }

bool identity_of_handle(intptr_t handle, FileId* id) {
  struct stat st;
  if (::fstat(static_cast<int>(handle), &st) != 0) return false;
  id->volume = st.st_dev;
  id->index = st.st_ino;
  return true;
}

int64_t File::size() const { return fd_ < 0 ? -1 : file_size(fd_); }

File File::duplicate() const {
  return File(fd_ < 0 ? -1 : ::fcntl(fd_, F_DUPFD_CLOEXEC, 0));
}

File File::duplicate_regular(intptr_t handle) {
  File copy(::fcntl(static_cast<int>(handle), F_DUPFD_CLOEXEC, 0));
  struct stat st;
  if (copy.is_open() && (::fstat(copy.fd(), &st) != 0 || !S_ISREG(st.st_mode))) {
    copy.close();
    set_not_regular_file_error();
  }
  return copy;
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
  if (code == kNotRegularFile) return "Not a regular file";
  // strerror_r in its GNU form: it answers the text, not always in `buffer`.
  char buffer[256];
  return ::strerror_r(code, buffer, sizeof buffer);
}

void set_not_regular_file_error() { errno = kNotRegularFile; }

}  // namespace fsutil
