#include "fsutil/folder_creation.h"

#include "fsutil/file_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace fsutil {

namespace {

// Opens the sub-folder `name` of the open folder `parent`, creating it when
// missing; never follows a link. Opening comes first: a walk mostly passes
// folders that exist, and mkdir locks the parent even when it fails.
File open_or_make_subfolder(int parent, const std::string& name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  File folder(::openat(parent, name.c_str(), kFlags));
  if (folder.is_open() || errno != ENOENT) return folder;
  if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) return File();
  return File(::openat(parent, name.c_str(), kFlags));
}

File invalid_name() {
  errno = EINVAL;
  return File();
}

// Opens the target folder. Where it is missing, what kept it from being made
// is the reason, not its absence.
File open_root(const std::string& root) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  File folder(::open(root.c_str(), kFlags));
  if (folder.is_open() || errno != ENOENT || !make_parent_folders(root + "/")) return folder;
  return File(::open(root.c_str(), kFlags));
}

// Opens root, then walks (creating) the first `count` components of `parts`.
File open_folder_beneath(const std::string& root, const std::vector<std::string>& parts,
                         size_t count) {
  File folder = open_root(root);
  for (size_t i = 0; i < count && folder.is_open(); ++i) {
    if (!is_creatable_name(parts[i])) return invalid_name();
    folder = open_or_make_subfolder(folder.fd(), parts[i]);
  }
  return folder;
}

}  // namespace

bool make_parent_folders(const std::string& path) {
  size_t last = path.rfind('/');
  if (last == std::string::npos || last == 0) return true;
  int failure = 0;  // why the first folder that is not there could not be made
  for (size_t slash = path.find('/', 1); slash <= last; slash = path.find('/', slash + 1)) {
    // An existing folder is fine.
    if (::mkdir(path.substr(0, slash).c_str(), 0777) != 0 && errno != EEXIST && !failure) {
      failure = errno;
    }
  }
  struct stat st;
  if (::stat(path.substr(0, last).c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
  } else if (failure) {
    errno = failure;
  }
  return false;
}

NewFile create_file_beneath(const std::string& root, const std::vector<std::string>& parts) {
  return FileCreator(root).create_file(parts);
}

bool FileCreator::reach_folder_of(const std::vector<std::string>& parts) {
  const size_t depth = parts.size() - 1;
  if (!folder_ || !folder_->is_open() || folder_parts_.size() != depth ||
      !std::equal(folder_parts_.begin(), folder_parts_.end(), parts.begin())) {
    folder_ = std::make_shared<const File>(open_folder_beneath(root_, parts, depth));
    folder_parts_.assign(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(depth));
  }
  return folder_->is_open();
}

// A new file is made at its name in one call. Where something is already
// there it is looked at, never opened: a regular file is replaced once the
// new one is kept; a link (never followed), a folder, a FIFO, socket or
// device fail the creation.
NewFile FileCreator::create_file(const std::vector<std::string>& parts) {
  if (parts.empty() || !is_creatable_name(parts.back())) {
    errno = EINVAL;
    return NewFile();
  }
  if (!reach_folder_of(parts)) return NewFile();
  const std::string& name = parts.back();
  constexpr int kCreateNew = O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
  File file;
  do {
    file = File(::openat(folder_->fd(), name.c_str(), kCreateNew, 0666));
  } while (!file.is_open() && errno == EINTR);
  if (file.is_open()) return NewFile(std::move(file), folder_, name, std::string());
  struct stat st;
  if (errno != EEXIST || ::fstatat(folder_->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return NewFile();
  }
  if (S_ISREG(st.st_mode)) {
    std::string temporary;
    file = create_temporary_file_in(folder_->fd(), st, &temporary);
    return file.is_open() ? NewFile(std::move(file), folder_, temporary, name) : NewFile();
  }
  if (S_ISLNK(st.st_mode)) {
    errno = ELOOP;
  } else if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
  } else {
    set_not_regular_file_error();
  }
  return NewFile();
}

// Any name without '/' or NUL is a name of its own on Linux (a name holding
// NUL would end there for the system: "a\0/.." is "a").
bool is_creatable_name(const std::string& name) {
  return !name.empty() && name.find('\0') == std::string::npos &&
         name.find('/') == std::string::npos;
}

bool make_folders_beneath(const std::string& root, const std::vector<std::string>& parts) {
  return open_folder_beneath(root, parts, parts.size()).is_open();
}

bool set_folder_time_beneath(const std::string& root, const std::vector<std::string>& parts,
                             int64_t mtime) {
  const File folder = open_folder_beneath(root, parts, parts.size());
  return folder.is_open() && set_modification_time(folder.fd(), mtime);
}

}  // namespace fsutil
