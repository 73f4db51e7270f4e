// One-level folder listing, as the folder walk of add_file uses it.
#pragma once

#include <string>
#include <vector>

#include "fsutil/file.h"

namespace fsutil {

// Lists the items of `folder` whose names match the shell pattern `pattern`,
// in the order the directory enumeration yields them (nothing is sorted).
// Regular files and links to them count as files; folders and links to them
// count as folders, except ".", ".." and ".svn". Everything else (FIFOs,
// sockets, devices, broken links) is ignored. A missing or unreadable folder,
// or a path naming a file, lists as empty; then, or when the enumeration
// breaks off, `*failure` (when given) receives the system's reason.
std::vector<std::string> list_folder(const std::string& folder, const std::string& pattern,
                                     bool files, bool folders,
                                     std::string* failure = nullptr);

// An item of a folder, and whether the system marks it hidden: Windows'
// hidden attribute. POSIX systems have no such mark (a name beginning with
// '.' is theirs, which the name shows).
struct FolderItem {
  std::string name;
  bool hidden = false;
};
// Every item of `folder` (or those matching `pattern`), as list_folder
// lists them.
std::vector<FolderItem> list_folder_items(const std::string& folder, bool files, bool folders,
                                          std::string* failure = nullptr,
                                          const std::string& pattern = "*");

// The identity of the folder at `path` (links followed), used to notice a
// folder link that leads back to a folder already on the walk; false when it
// is not a reachable folder, with the reason for last_error_text().
bool folder_id(const std::string& path, FileId* id);

}  // namespace fsutil
