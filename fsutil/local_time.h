// The local time zone, as the C library or Windows knows it.
#pragma once

#include <cstdint>

namespace fsutil {

// Seconds east of UTC of local time at the instant `unix_time` (daylight
// saving time included), for instants from 1601 on; 0 when the system cannot
// tell.
int64_t utc_offset_at(int64_t unix_time);

}  // namespace fsutil
