#include "fsutil/folder_listing.h"

#include <utility>

namespace fsutil {

std::vector<std::string> list_folder(const std::string& folder, const std::string& pattern,
                                     bool files, bool folders, std::string* failure) {
  std::vector<std::string> names;
  for (FolderItem& item : list_folder_items(folder, files, folders, failure, pattern)) {
    names.push_back(std::move(item.name));
  }
  return names;
}

}  // namespace fsutil
