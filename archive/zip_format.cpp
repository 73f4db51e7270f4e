#include "archive/zip_format.h"

#include <libdeflate.h>
#include <zlib.h>

namespace zip_format {

bool find_extra_field(const std::string& extra, uint16_t id, std::string* data) {
  size_t at = 0;
  while (at + 4 <= extra.size()) {
    const uint16_t field = le16(&extra[at]);
    const size_t length = le16(&extra[at + 2]);
    if (at + 4 + length > extra.size()) return false;
    if (field == id) {
      *data = extra.substr(at + 4, length);
      return true;
    }
    at += 4 + length;
  }
  return false;
}

std::string without_extra_field(const std::string& extra, uint16_t id) {
  std::string kept;
  size_t at = 0;
  while (at + 4 <= extra.size()) {
    const size_t length = le16(&extra[at + 2]);
    if (at + 4 + length > extra.size()) break;
    if (le16(&extra[at]) != id) kept.append(extra, at, 4 + length);
    at += 4 + length;
  }
  // Bytes that are no whole field (padding some writers leave) stay as they were.
  kept.append(extra, at, std::string::npos);
  return kept;
}

uint32_t crc32(uint32_t crc, const char* data, size_t size) {
  return libdeflate_crc32(crc, data, size);
}

uint32_t crc32_combine(uint32_t first, uint32_t second, size_t second_size) {
  return static_cast<uint32_t>(::crc32_combine(first, second, static_cast<z_off_t>(second_size)));
}

}  // namespace zip_format
