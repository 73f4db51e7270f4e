// An entry's modification time in the forms a zip archive holds it: the DOS
// date and time fields (local time, two-second steps, 1980 to 2107), the
// extended timestamp field (0x5455: Unix seconds, 32 bits) and the NTFS field
// (0x000a: 100-nanosecond steps from 1601, UTC).
//
// Writing: the DOS fields always, clamped to their range; the extended
// timestamp only for times from 1970-01-01 to 2038-01-19 03:14:07 UTC, which
// every reader takes the same way (Info-ZIP calls the field signed, others
// read it unsigned). Outside that span the DOS fields alone carry the time,
// so a file from 2050 comes back within two seconds, and one from before
// 1980 comes back as 1980-01-01 00:00 local time.
//
// Reading: the extended timestamp where present, else the NTFS field, else
// the DOS fields as local time.
#pragma once

#include <cstdint>
#include <string>

// The time and date fields of a local header or central directory record.
struct DosTime {
  uint16_t time = 0;
  uint16_t date = 0;
};

namespace entry_time {

// What a field of 32 bits holds the same for every reader.
constexpr int64_t kLatestExtendedTimestamp = 0x7FFFFFFF;

// The DOS fields of `unix_time` in local time; before 1980 they are
// 1980-01-01 00:00:00, after 2107 2107-12-31 23:59:58. Odd seconds are
// rounded down.
DosTime dos_time_of(int64_t unix_time);
// The instant the DOS fields name in local time. Fields out of their range
// (month or day 0, as some writers leave them) count from 1980-01-01.
int64_t unix_time_of(const DosTime& dos);

// Whether `unix_time` goes into an extended timestamp field.
inline bool has_extended_timestamp(int64_t unix_time) {
  return unix_time >= 0 && unix_time <= kLatestExtendedTimestamp;
}

// The modification time of an entry from the data of its fields in the
// central directory (empty when the entry has none) and its DOS fields.
int64_t recorded_time(const std::string& extended_timestamp, const std::string& ntfs,
                      const DosTime& dos);

}  // namespace entry_time
