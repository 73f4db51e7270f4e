// The part of the zip engine that differs by platform: how entry names pass
// from the native layer to libarchive (names read come from the central
// directory, see archive/stored_name.h). Used by zip_engine.cpp only.
#pragma once

#include <string>

struct archive_entry;

namespace zip_engine {
namespace platform {

// Sets the name an entry is written under from a native name. Non-ASCII
// names are stored as UTF-8, flagged so (the writer's hdrcharset option). A
// name with no UTF-8 form is refused: libarchive would store it with
// replacement characters.
bool set_entry_name(archive_entry* entry, const std::string& name);

}  // namespace platform
}  // namespace zip_engine
