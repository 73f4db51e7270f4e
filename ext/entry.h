// Parvox::Entry, the record that Parvox#entries and Parvox#each_entry answer
// for each entry of the archive's directory.
#pragma once

#include <ruby.h>

#include "archive/read/central_directory.h"

namespace entry {

// Defines Parvox::Entry under the class `parvox`.
void define_class(VALUE parvox);
// The Entry for one entry of the directory.
VALUE make(const DirectoryEntry& entry);

}  // namespace entry
