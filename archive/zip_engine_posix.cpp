// Names in the locale's charset, converted by libarchive (under
// Utf8NamesOnThisThread, so the C locale counts as UTF-8).
#include <archive.h>
#include <archive_entry.h>

#include "archive/zip_engine_platform.h"

namespace zip_engine {
namespace platform {

bool set_entry_name(archive_entry* entry, const std::string& name) {
  archive_entry_set_pathname(entry, name.c_str());
  return archive_entry_pathname_utf8(entry) != nullptr;
}

}  // namespace platform
}  // namespace zip_engine
