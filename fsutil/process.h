// Which process this is: an object made before a fork belongs to the parent.
#pragma once

#include <cstdint>

namespace fsutil {

int64_t current_process_id();

}  // namespace fsutil
