#include "fsutil/local_time.h"

#include <windows.h>

#include <cstdint>

namespace fsutil {

namespace {

constexpr int64_t kStepsPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
// The last second a FILETIME holds (in the year 30828).
constexpr int64_t kLatestSince1601 = INT64_MAX / kStepsPerSecond;

int64_t steps_of(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

}  // namespace

// The time zone's rules for the year of `unix_time`, as
// SystemTimeToTzSpecificLocalTime applies them.
int64_t utc_offset_at(int64_t unix_time) {
  const int64_t since_1601 = unix_time + kSecondsFrom1601To1970;
  if (since_1601 < 0 || since_1601 > kLatestSince1601) return 0;
  const uint64_t steps = static_cast<uint64_t>(since_1601) * kStepsPerSecond;
  FILETIME utc_time;
  utc_time.dwLowDateTime = static_cast<DWORD>(steps);
  utc_time.dwHighDateTime = static_cast<DWORD>(steps >> 32);
  SYSTEMTIME utc, local;
  FILETIME local_time;
  if (!FileTimeToSystemTime(&utc_time, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
      !SystemTimeToFileTime(&local, &local_time)) {
    return 0;
  }
  return (steps_of(local_time) - steps_of(utc_time)) / kStepsPerSecond;
}

}  // namespace fsutil
