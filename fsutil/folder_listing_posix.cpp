#include "fsutil/folder_listing.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "fsutil/file.h"

namespace fsutil {

namespace {

enum class ItemKind { file, folder, other };

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

ItemKind kind_by_stat(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return ItemKind::other;  // broken link
  if (S_ISREG(st.st_mode)) return ItemKind::file;
  if (S_ISDIR(st.st_mode)) return ItemKind::folder;
  return ItemKind::other;
}

ItemKind kind_of(const std::string& folder, const dirent* item) {
  switch (item->d_type) {
    case DT_REG:
      return ItemKind::file;
    case DT_DIR:
      return ItemKind::folder;
    case DT_LNK:
    case DT_UNKNOWN:
      return kind_by_stat(folder + "/" + item->d_name);
    default:
      return ItemKind::other;
  }
}

bool is_excluded_folder(const std::string& name) {
  return name == "." || name == ".." || name == ".svn";
}

}  // namespace

std::vector<FolderItem> list_folder_items(const std::string& folder, bool files, bool folders,
                                          std::string* failure, const std::string& pattern) {
  std::vector<FolderItem> items;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) {
    if (failure) *failure = last_error_text();
    return items;
  }
  for (;;) {
    errno = 0;
    const dirent* item = ::readdir(dir.get());
    if (!item) {
      if (errno != 0 && failure) *failure = last_error_text();
      break;
    }
    std::string name = item->d_name;
    if (::fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
    switch (kind_of(folder, item)) {
      case ItemKind::file:
        if (files) items.push_back({name});
        break;
      case ItemKind::folder:
        if (folders && !is_excluded_folder(name)) items.push_back({name});
        break;
      case ItemKind::other:
        break;
    }
  }
  return items;
}

bool folder_id(const std::string& path, FileId* id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  id->volume = st.st_dev;
  id->index = st.st_ino;
  return true;
}

}  // namespace fsutil
