// Names are UTF-8 in the native layer on Windows and pass to libarchive as
// UTF-16: its narrow name calls would take the ANSI code page, which cannot
// hold every name a Windows file system can.
//
// The writer stores names in UTF-8 with the zip format's UTF-8 flag, which
// every current reader honours. A stored name without the flag is read in the
// ANSI code page (libarchive's own default on Windows is the OEM code page).
#include <archive.h>
#include <archive_entry.h>

#include "archive/zip_engine_platform.h"
#include "fsutil/wide_string.h"

namespace zip_engine {
namespace platform {

std::string name_read_options() {
  return "zip:hdrcharset=CP" + std::to_string(fsutil::ansi_code_page());
}

bool entry_name(archive_entry* entry, std::string* name) {
  const wchar_t* stored = archive_entry_pathname_w(entry);
  *name = stored ? fsutil::from_utf16(stored) : "";
  return stored != nullptr;
}

}  // namespace platform
}  // namespace zip_engine
