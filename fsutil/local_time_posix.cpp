#include "fsutil/local_time.h"

#include <ctime>

namespace fsutil {

// localtime_r, unlike mktime, does not read the time zone files again on
// every call.
int64_t utc_offset_at(int64_t unix_time) {
  const time_t instant = static_cast<time_t>(unix_time);
  struct tm local;
  if (!::localtime_r(&instant, &local)) return 0;
  return local.tm_gmtoff;
}

}  // namespace fsutil
