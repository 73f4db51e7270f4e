#include "fsutil/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

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

// Removes the file `name` in the open folder `folder` (AT_FDCWD: the current
// folder) that `file` has open: the name is removed when it still names that
// regular file, and a file reached through a link is cut to nothing instead.
// A device is left alone. Closes `file`.
void discard_file_at(int folder, const std::string& name, File& file) {
  struct stat opened, named;
  if (file.is_open() && ::fstat(file.fd(), &opened) == 0 && S_ISREG(opened.st_mode)) {
    const bool same = ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                      named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
    if (!same || ::unlinkat(folder, name.c_str(), 0) != 0) cut_to(file.fd(), 0);
  }
  file.close();
}

// A name no entry is likely to have, different for every file this process
// asks for: hidden, and short enough in any folder.
std::string temporary_name() {
  static std::atomic<unsigned long> made{0};
  return ".parvox-" + std::to_string(::getpid()) + "-" + std::to_string(++made) + ".tmp";
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

// A new file is regular, so the usual case costs one call. An existing one is
// looked at before it is opened: opening a FIFO for writing would wake a
// process reading it. The open itself does not block either, should the file
// change meanwhile.
File File::create(const std::string& path) {
  const char* name = path.c_str();
  File file(open_retrying(AT_FDCWD, name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0666));
  if (file.is_open() || errno != EEXIST) return file;
  struct stat st;
  if (::stat(name, &st) == 0 && is_pipe_or_socket(st.st_mode)) return not_regular();
  file = settled(File(open_retrying(AT_FDCWD, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_NONBLOCK, 0666)),
                 [](mode_t mode) { return !is_pipe_or_socket(mode); });
  if (!file.is_open() && errno == ENXIO) return not_regular();  // a FIFO without a reader
  return file;
}

void discard_created_file(File& file, const std::string& path) {
  discard_file_at(AT_FDCWD, path, file);
}

File create_temporary_file_in(int folder, const struct stat& replaced, std::string* name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = temporary_name();
    File file(open_retrying(folder, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_NOFOLLOW, 0666));
    if (file.is_open()) ::fchmod(file.fd(), replaced.st_mode & 0777);
    if (file.is_open() || errno != EEXIST) return file;
  }
  return File();
}

// Beside the file itself where `path` is a link to it: the link stays, and
// leads to the new file once it is kept.
NewFile NewFile::create(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return NewFile(File::create(path), nullptr, path, std::string());
  }
  // Renaming over a file needs no leave to write it: asked for as File::create would.
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return NewFile();
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return NewFile();
  const std::string resolved(real.get());
  const size_t slash = resolved.rfind('/');  // an absolute path
  auto folder = std::make_shared<const File>(
      open_retrying(AT_FDCWD, slash == 0 ? "/" : resolved.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY));
  if (!folder->is_open()) return NewFile();
  std::string name;
  File file = create_temporary_file_in(folder->fd(), st, &name);
  if (!file.is_open()) return NewFile();
  return NewFile(std::move(file), std::move(folder), std::move(name), resolved.substr(slash + 1));
}

bool NewFile::keep_durably() {
  if (file_.is_open() && !file_.sync()) {
    const int error = errno;
    discard();
    errno = error;
    return false;
  }
  std::shared_ptr<const File> folder = folder_;
  if (!keep()) return false;
  // The rename is done: a folder that cannot be synced leaves it to the system.
  if (folder) ::fsync(folder->fd());
  return true;
}

bool NewFile::keep() {
  if (!file_.is_open()) {
    errno = EBADF;
    return false;
  }
  const int folder = folder_ ? folder_->fd() : AT_FDCWD;
  struct stat opened;
  const bool known = ::fstat(file_.fd(), &opened) == 0;
  if (file_.close() &&
      (target_.empty() || ::renameat(folder, name_.c_str(), folder, target_.c_str()) == 0)) {
    folder_.reset();
    return true;
  }
  // The file is closed: it is removed by its name, while that still names it.
  const int error = errno;
  struct stat named;
  if (known && S_ISREG(opened.st_mode) &&
      ::fstatat(folder, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
    ::unlinkat(folder, name_.c_str(), 0);
  }
  folder_.reset();
  errno = error;
  return false;
}

void NewFile::discard() {
  if (file_.is_open()) discard_file_at(folder_ ? folder_->fd() : AT_FDCWD, name_, file_);
  folder_.reset();
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

bool File::sync() {
  int result;
  do {
    result = ::fsync(fd_);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

namespace {

bool copy_by_blocks(int from, int64_t offset, int64_t size, File& to) {
  constexpr size_t kBlock = 1 << 20;
  std::unique_ptr<char[]> block(new (std::nothrow) char[kBlock]);
  if (!block) {
    errno = ENOMEM;
    return false;
  }
  while (size > 0) {
    const long long got = read_at(from, block.get(), static_cast<size_t>(std::min<int64_t>(size, kBlock)), offset);
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    if (!to.write_all(block.get(), static_cast<size_t>(got))) return false;
    offset += got;
    size -= got;
  }
  return true;
}

}  // namespace

bool copy_range(int from, int64_t offset, int64_t size, File& to) {
#ifdef __linux__
  // Within the kernel, and on file systems that share extents (Btrfs, XFS)
  // without copying at all. Systems or files that cannot fall back to blocks.
  while (size > 0) {
    loff_t in = static_cast<loff_t>(offset);
    const ssize_t copied = ::copy_file_range(from, &in, to.fd(), nullptr,
                                             static_cast<size_t>(std::min<int64_t>(size, 1 << 30)), 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 && (errno == ENOSPC || errno == EIO || errno == EDQUOT || errno == EFBIG)) return false;
    if (copied <= 0) break;
    offset += copied;
    size -= copied;
  }
#endif
  return copy_by_blocks(from, offset, size, to);
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
