// Names are UTF-8 in the native layer on Windows and pass to libarchive as
// UTF-16: its narrow name calls would take the ANSI code page, which cannot
// hold every name a Windows file system can.
//
// Written names are stored in UTF-8 with the zip format's UTF-8 flag, which
// every current reader honours.
#include <archive.h>
#include <archive_entry.h>

#include "archive/zip_engine_platform.h"
#include "fsutil/wide_string.h"

namespace zip_engine {
namespace platform {

bool set_entry_name(archive_entry* entry, const std::string& name) {
  // Entry names separate with '/' only; with the UTF-8 option libarchive
  // would keep a '\' as it is.
  std::string stored = name;
  for (char& c : stored) {
    if (c == '\\') c = '/';
  }
  const std::wstring wide = fsutil::to_utf16(stored);
  if (wide.empty() != stored.empty()) return false;
  archive_entry_copy_pathname_w(entry, wide.c_str());
  return archive_entry_pathname_w(entry) != nullptr;
}

}  // namespace platform
}  // namespace zip_engine
