// Thin owning wrapper over a file descriptor: the file access through which
// archive data and entry data are read and written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fsutil {

// The separator of paths on disk.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Identity of a file on disk, whatever path or link reaches it: the volume it
// lives on and its number there (device and inode on POSIX systems). Two
// names with the same identity are one file.
struct FileId {
  unsigned long long volume = 0;
  unsigned long long index = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && index == other.index;
  }
  bool operator!=(const FileId& other) const { return !(*this == other); }
};

class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.release()) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.release();
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { close(); }

  // Opens an existing regular file for reading. Anything else (a folder, a
  // FIFO, a device) is refused without blocking, so it never reads forever;
  // last_error_text() then names a folder as such and anything else as "Not
  // a regular file".
  static File open_regular_for_reading(const std::string& path);
  // Opens a file for reading, whatever it is.
  static File open_for_reading(const std::string& path);
  // A descriptor of our own for an open file of someone else's, which the
  // system knows as `handle` (a descriptor on POSIX systems, a HANDLE on
  // Windows), for reading at offsets; invalid, with the last error set, when
  // that is not a regular file (a pipe, a socket, a device).
  static File duplicate_regular(intptr_t handle);
  // Creates the file, or truncates it if it exists, and opens it writable,
  // following links. Never blocks: a FIFO or socket there is refused ("Not a
  // regular file") without being opened; a device (/dev/null) is written to.
  static File create(const std::string& path);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // The identity of the open file; false when the system cannot tell it.
  bool identity(FileId* id) const;
  // Size of the open file in bytes, or -1.
  int64_t size() const;
  // From now on a read that finds nothing to give yet fails at once (the
  // system's "Resource temporarily unavailable") instead of waiting: for
  // files the system makes up as they are read, some of which wait for ever
  // (/proc/kmsg). False when the file cannot be switched.
  bool never_wait_on_reads();
  // A second descriptor of the same open file, independent of this one's
  // lifetime; reads through read_at() never disturb each other.
  File duplicate() const;
  // Reads up to n bytes; answers the count, 0 at the end, -1 on error.
  long long read(char* buffer, size_t n);
  // Writes all n bytes; false on any error (a full disk included).
  bool write_all(const char* data, size_t n);
  // Closes the file; false when the system reports a failure.
  bool close();
  // Waits until what was written is on the disk itself; false when the
  // system cannot tell that it is.
  bool sync();

 private:
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  int fd_ = -1;
};

// A file created for an extraction, which takes its name only once it is
// kept. Where a regular file is already at that name, the new one is made
// under a temporary name in the same folder and renamed over it by keep():
// the file there is replaced by a whole file or not at all, and its other
// names (hard links) keep their content. A new file that is not kept is
// removed (a device written to is left alone), whatever was at its name
// staying as it was.
class NewFile {
 public:
  NewFile() = default;
  // For the creators below: `file`, open, is `name` in `folder` (a path of
  // its own where `folder` is null, and always on Windows), and takes the
  // name `target` in the same folder when kept (none: it has its name).
  NewFile(File file, std::shared_ptr<const File> folder, std::string name, std::string target)
      : file_(std::move(file)), folder_(std::move(folder)), name_(std::move(name)),
        target_(std::move(target)) {}
  NewFile(NewFile&& other) noexcept = default;
  NewFile& operator=(NewFile&& other) noexcept {
    if (this != &other) {
      discard();
      file_ = std::move(other.file_);
      folder_ = std::move(other.folder_);
      name_ = std::move(other.name_);
      target_ = std::move(other.target_);
    }
    return *this;
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { discard(); }

  // The file at `path` by File::create's rules (links followed, a device
  // written to, a FIFO or socket refused), made beside a regular file
  // already there (beside the file a link leads to), which the caller must
  // be allowed to write.
  static NewFile create(const std::string& path);

  bool is_open() const { return file_.is_open(); }
  File& file() { return file_; }
  // Closes the file and gives it its name; false, with the system's last
  // error, when either fails or it is not open (the new file is then gone).
  bool keep();
  // keep(), with the file's bytes on the disk before it takes the name and
  // the name on the disk before it answers: after a crash the name holds
  // the old file or the new one, whole.
  bool keep_durably();
  // Removes the new file and closes it.
  void discard();

 private:
  File file_;
  std::shared_ptr<const File> folder_;
  std::string name_;
  std::string target_;
};

// The identity of the open file the system knows as `handle` (as for
// File::duplicate_regular); false when the system cannot tell it.
bool identity_of_handle(intptr_t handle, FileId* id);

// Removes the file at `path` that `file` has open (made by File::create), for
// an extraction that failed: the path is removed when it still names that
// regular file, and a file reached through a link is cut to nothing instead.
// A device is left alone. Closes `file`.
void discard_created_file(File& file, const std::string& path);

// Appends `size` bytes of the file `from`, read at `offset`, to the file
// `to` at its position: within the system where it can (copy_file_range),
// else in large blocks. False, with the system's last error, when reading
// or writing fails or `from` ends first.
bool copy_range(int from, int64_t offset, int64_t size, File& to);

// Reads up to n bytes at `offset` without moving the file's position (so
// several readers may share one descriptor); the count, 0 at the end, -1 on
// error.
long long read_at(int fd, char* buffer, size_t n, int64_t offset);
// Size in bytes of the open file `fd`, or -1.
int64_t file_size(int fd);
// Cuts the file `fd` to `size` bytes and moves its position there, so that
// writing goes on from that point; false when the file cannot be cut (a
// device, a pipe).
bool cut_to(int fd, int64_t size);

// The system's text for the last failure of a file-system call on this
// thread ("Permission denied"), and for an error code of the same kind.
std::string last_error_text();
std::string error_text(int code);
// Makes the calling thread's last failure "Not a regular file": a path that
// names a FIFO, socket or device where only a file will do.
void set_not_regular_file_error();

// A new file under a name of its own in the folder `folder` (an open folder
// on POSIX systems, a path on Windows), for NewFile to rename over the file
// `replaced` there (its path on Windows); its name in `*name` (on Windows its
// path). On POSIX systems it gets the permission bits of `replaced`, which
// an entry made elsewhere leaves as they were.
#ifdef _WIN32
File create_temporary_file_in(const std::string& folder, std::string* name);
#else
File create_temporary_file_in(int folder, const struct stat& replaced, std::string* name);
#endif

}  // namespace fsutil
