// The part of the zip engine that differs by platform: how entry names pass
// between the native layer and libarchive. Used by zip_engine.cpp only.
#pragma once

#include <string>

struct archive_entry;

namespace zip_engine {
namespace platform {

// Options for archive_read_set_options; empty when there are none.
std::string name_read_options();

// The name of an entry read, as a native name; false (and `name` empty) when
// the stored name has no native form.
bool entry_name(archive_entry* entry, std::string* name);

}  // namespace platform
}  // namespace zip_engine
