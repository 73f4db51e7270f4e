// Folder creation for extraction targets, and creation of files and folders
// strictly beneath a target folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fsutil/file.h"

namespace fsutil {

// Creates every folder named by a prefix of `path` that ends at a separator,
// outermost first (like `mkdir -p` of the part before the last '/'). The text
// after the last separator is a file name and is not created. Answers whether
// all those folders exist afterwards; when not, the system's last error says
// why (what kept the first missing one from being made, or that something
// other than a folder is in the place of one).
bool make_parent_folders(const std::string& path);

// Creates the file `root`/`parts...` and opens it writable, as a NewFile:
// where a regular file is already there, the new one replaces it only once
// it is kept. `parts` are single path components, none of them empty, "."
// or "..". The folders between root and the file are created as needed. No
// link is ever followed beneath `root`: an existing link in the way or at the
// file's name makes this fail, so nothing can be written outside `root`
// through one; so does a folder there, and a FIFO, socket or device (refused
// without being opened, last_error_text(): "Not a regular file").
NewFile create_file_beneath(const std::string& root, const std::vector<std::string>& parts);

// Creates files beneath one root folder by the rules of create_file_beneath,
// keeping the folder of the last file open: an archive's entries come folder
// by folder, so most files are created without walking down from the root
// again (which costs two system calls per folder on the way).
class FileCreator {
 public:
  explicit FileCreator(std::string root) : root_(std::move(root)) {}
  NewFile create_file(const std::vector<std::string>& parts);

#ifdef _WIN32
  // The folders from the root down to the last file's folder, all held open
  // so that none of them can be replaced meanwhile.
  struct OpenFolders;
#endif

 private:
  std::string root_;
#ifdef _WIN32
  struct OpenFoldersDeleter {
    void operator()(OpenFolders* folders) const;
  };
  std::unique_ptr<OpenFolders, OpenFoldersDeleter> folders_;
#else
  std::shared_ptr<const File> folder_;  // shared with the new files made in it
#endif
  std::vector<std::string> folder_parts_;  // where the last file's folder is beneath root_

  // Opens (creating) the folder that holds the file `parts`, unless it is
  // the one already open.
  bool reach_folder_of(const std::vector<std::string>& parts);
};

// Creates the folder `root`/`parts...` and the folders above it, with the same
// rules as create_file_beneath. Empty `parts` names `root` itself.
bool make_folders_beneath(const std::string& root, const std::vector<std::string>& parts);

// Sets the modification time of the folder `root`/`parts...`, reached by the
// rules of create_file_beneath.
bool set_folder_time_beneath(const std::string& root, const std::vector<std::string>& parts,
                             int64_t mtime);

// Whether `name` can be created as a file or folder of its own name, rather
// than meaning something else to the system. Everywhere that refuses an
// empty name, a separator and NUL (where the system would end the name). On
// Windows also ':' (streams, drives), the characters Windows forbids, a
// trailing '.' or space (which Windows strips) and reserved device names
// such as CON or COM1.txt.
bool is_creatable_name(const std::string& name);

}  // namespace fsutil
