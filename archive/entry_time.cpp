#include "archive/entry_time.h"

#include <algorithm>

#include "archive/zip_format.h"
#include "fsutil/local_time.h"

namespace entry_time {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kFirstDosYear = 1980;
constexpr int kLastDosYear = 2107;
constexpr int64_t kNtfsStepsPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr uint16_t kNtfsTimesTag = 1;
constexpr size_t kNtfsTimesSize = 24;  // modification, access, creation

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (month
// 1-12; larger days run on into the next months), and back.
constexpr int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

struct Civil {
  int64_t year, month, day, seconds_of_day;
};

Civil civil_from_seconds(int64_t seconds) {
  int64_t days = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  return {year_of_era + era * 400 + (month <= 2), month, day, rest};
}

int dos_year(const DosTime& dos) { return kFirstDosYear + (dos.date >> 9); }

// Info-ZIP writes the low 32 bits of the time, and unzip tells a time before
// 1970 from one after 2038 by the DOS date beside it; so does this.
bool from_extended_timestamp(const std::string& field, const DosTime& dos, int64_t* time) {
  if (field.size() < 5 || !(field[0] & 1)) return false;  // no modification time
  const uint32_t value = zip_format::le32(&field[1]);
  const bool after_2038 = value > kLatestExtendedTimestamp && dos_year(dos) >= 2038;
  *time = value <= kLatestExtendedTimestamp || after_2038 ? static_cast<int64_t>(value)
                                                          : static_cast<int64_t>(value) - (int64_t{1} << 32);
  return true;
}

bool from_ntfs_field(const std::string& field, int64_t* time) {
  for (size_t at = 4; at + 4 <= field.size();) {  // after 4 reserved bytes
    const uint16_t tag = zip_format::le16(&field[at]);
    const size_t size = zip_format::le16(&field[at + 2]);
    if (at + 4 + size > field.size()) return false;
    if (tag == kNtfsTimesTag && size >= kNtfsTimesSize) {
      const uint64_t steps = zip_format::le64(&field[at + 4]);
      *time = static_cast<int64_t>(steps / kNtfsStepsPerSecond) - kSecondsFrom1601To1970;
      return true;
    }
    at += 4 + size;
  }
  return false;
}

}  // namespace

DosTime dos_time_of(int64_t unix_time) {
  // A day beyond the DOS years in UTC is beyond them in every time zone.
  constexpr int64_t kEarliest = (days_from_civil(kFirstDosYear, 1, 1) - 1) * kSecondsPerDay;
  constexpr int64_t kLatest = (days_from_civil(kLastDosYear + 1, 1, 1) + 1) * kSecondsPerDay;
  unix_time = std::clamp(unix_time, kEarliest, kLatest);
  // Local time as if it were UTC: only its calendar fields count.
  const Civil local = civil_from_seconds(unix_time + fsutil::utc_offset_at(unix_time));
  DosTime dos;
  if (local.year < kFirstDosYear) {
    dos.date = (1 << 5) | 1;
    return dos;
  }
  if (local.year > kLastDosYear) {
    dos.date = static_cast<uint16_t>((kLastDosYear - kFirstDosYear) << 9 | 12 << 5 | 31);
    dos.time = static_cast<uint16_t>(23 << 11 | 59 << 5 | 29);
    return dos;
  }
  const int64_t hour = local.seconds_of_day / 3600;
  const int64_t minute = local.seconds_of_day / 60 % 60;
  const int64_t second = local.seconds_of_day % 60;
  dos.date = static_cast<uint16_t>((local.year - kFirstDosYear) << 9 | local.month << 5 | local.day);
  dos.time = static_cast<uint16_t>(hour << 11 | minute << 5 | second / 2);
  return dos;
}

int64_t unix_time_of(const DosTime& dos) {
  const int64_t month = std::clamp<int64_t>((dos.date >> 5) & 0x0F, 1, 12);
  const int64_t day = std::max<int64_t>(dos.date & 0x1F, 1);
  const int64_t local = days_from_civil(dos_year(dos), month, day) * kSecondsPerDay +
                        (dos.time >> 11) * 3600 + ((dos.time >> 5) & 0x3F) * 60 + (dos.time & 0x1F) * 2;
  // The offset at the instant itself, which the first guess lands near.
  const int64_t guess = local - fsutil::utc_offset_at(local);
  return local - fsutil::utc_offset_at(guess);
}

int64_t recorded_time(const std::string& extended_timestamp, const std::string& ntfs,
                      const DosTime& dos) {
  int64_t time;
  if (from_extended_timestamp(extended_timestamp, dos, &time)) return time;
  if (from_ntfs_field(ntfs, &time)) return time;
  return unix_time_of(dos);
}

}  // namespace entry_time
