// Names in the locale's charset, converted by libarchive (under
// Utf8NamesOnThisThread, so the C locale counts as UTF-8).
#include <archive.h>
#include <archive_entry.h>

#include "archive/zip_engine_platform.h"

namespace zip_engine {
namespace platform {

std::string name_read_options() { return std::string(); }

// libarchive answers no name for one flagged as UTF-8 that the charset cannot
// hold or that is not valid UTF-8.
bool entry_name(archive_entry* entry, std::string* name) {
  const char* stored = archive_entry_pathname(entry);
  *name = stored ? stored : "";
  return stored != nullptr;
}

}  // namespace platform
}  // namespace zip_engine
