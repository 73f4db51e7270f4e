// The part of the zip engine that differs by platform: how entry names pass
// between the native layer and libarchive. Used by zip_engine.cpp only.
#pragma once

#include <string>

struct archive_entry;

namespace zip_engine {
namespace platform {

// Options for archive_write_set_options on top of the format's own, each
// starting with ','; empty when there are none.
std::string name_write_options();
// Options for archive_read_set_options; empty when there are none.
std::string name_read_options();

// Sets the entry's stored name from a native name.
void set_entry_name(archive_entry* entry, const std::string& name);
// The entry's stored name as a native name; empty when it has none.
std::string entry_name(archive_entry* entry);

}  // namespace platform
}  // namespace zip_engine
