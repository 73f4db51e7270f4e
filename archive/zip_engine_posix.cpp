// Names in the locale's charset, which libarchive takes and gives as they are.
#include <archive.h>
#include <archive_entry.h>

#include "archive/zip_engine_platform.h"

namespace zip_engine {
namespace platform {

std::string name_write_options() { return std::string(); }

std::string name_read_options() { return std::string(); }

void set_entry_name(archive_entry* entry, const std::string& name) {
  archive_entry_set_pathname(entry, name.c_str());
}

std::string entry_name(archive_entry* entry) {
  const char* name = archive_entry_pathname(entry);
  if (!name) name = archive_entry_pathname_utf8(entry);
  return name ? name : "";
}

}  // namespace platform
}  // namespace zip_engine
