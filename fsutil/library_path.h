#pragma once

#include <string>

namespace fsutil {

// Absolute path of the shared library (or program) this code is linked into,
// file name included; empty when the system cannot tell.
std::string library_path();

}  // namespace fsutil
