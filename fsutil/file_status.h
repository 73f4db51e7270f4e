// What a file or folder carries besides its data: its modification time and
// permission bits, read when it is added and given back when it is extracted.
#pragma once

#include <cstdint>
#include <string>

namespace fsutil {

struct FileStatus {
  int64_t mtime = 0;         // last modification, in seconds since 1970 (UTC)
  uint32_t permissions = 0;  // read, write, execute for user, group, other
};

// Of the open file `fd`; false, with the reason for last_error_text(), when
// the system cannot tell. Windows has no permission bits: files answer 0644.
bool status_of_open_file(int fd, FileStatus* status);
// Of the folder at `path` (links followed); Windows answers 0755.
bool status_of_folder(const std::string& path, FileStatus* status);

// Whether the open `fd` is a regular file (not a device, a FIFO, a folder).
bool is_regular_file(int fd);

// Sets the modification time of the open file `fd` (its access time stays).
bool set_modification_time(int fd, int64_t mtime);
// Sets the permission bits of the open file `fd`; does nothing on Windows.
bool set_permissions(int fd, uint32_t permissions);

// The permission bits the process's umask leaves to new files (0755 under
// umask 022), read without changing the umask, so that other threads are never
// exposed to another one meanwhile. Where it cannot be read that way, 0700.
// On Windows, which has no umask, 0777.
uint32_t permissions_the_umask_allows();

}  // namespace fsutil
