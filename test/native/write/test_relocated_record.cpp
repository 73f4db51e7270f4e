// zip_writer::relocated_record: a central record moved to another offset
// keeps what its ZIP64 field holds for the sizes and gains or drops the
// offset there as the new place needs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/write/zip_writer.h"
#include "archive/zip_format.h"

namespace {

using namespace zip_format;

std::string zip64(const std::vector<uint64_t>& values) {
  std::string field;
  put16(field, kZip64Field);
  put16(field, values.size() * 8);
  for (uint64_t value : values) put64(field, value);
  return field;
}

// A record of the entry "n" with the comment "c".
std::string record(uint32_t compressed, uint32_t size, uint32_t offset, const std::string& extra) {
  std::string out;
  put32(out, kCentralRecordSignature);
  put16(out, 20);  // made by
  put16(out, 20);  // needed
  out.append(12, '\0');  // flags, method, time, date, CRC
  put32(out, compressed);
  put32(out, size);
  put16(out, 1);
  put16(out, extra.size());
  put16(out, 1);
  out.append(8, '\0');  // disk, attributes
  put32(out, offset);
  return out + "n" + extra + "c";
}

TEST(RelocatedRecord, TheZip64FieldHoldsTheSizesItHeldAndTheOffsetWhenFar) {
  const std::string other("UT\x05\0\x01\x01\x02\x03\x04", 9);
  const uint64_t far = uint64_t{1} << 32, big = uint64_t{5} << 32;
  struct Case {
    const char* what;
    std::string given;
    uint64_t offset;
    std::string extra;  // expected
    uint32_t offset32;
    uint16_t needed;
  } cases[] = {
      {"near stays plain", record(7, 9, 0, other), 100, other, 100, 20},
      {"just below 4 GiB", record(7, 9, 0, other), kMax32 - 1, other, kMax32 - 1, 20},
      {"at 4 GiB gains the offset", record(7, 9, 0, other), kMax32, zip64({kMax32}) + other, kMax32, 45},
      {"past 4 GiB gains the offset", record(7, 9, 0, other), far, zip64({far}) + other, kMax32, 45},
      {"ZIP64 sizes kept, offset added", record(kMax32, kMax32, 0, other + zip64({big, big + 1})), far,
       zip64({big, big + 1, far}) + other, kMax32, 45},
      {"one ZIP64 size kept", record(7, kMax32, 0, zip64({big})), far, zip64({big, far}), kMax32, 45},
      {"moved back: the offset dropped, the sizes kept",
       record(kMax32, kMax32, kMax32, zip64({big, big + 1, far + 8})), 100, zip64({big, big + 1}), 100, 45},
      {"moved back: no field left", record(7, 9, kMax32, zip64({far, 0}) + other), 100, other, 100, 20},
  };
  for (const Case& c : cases) {
    std::string moved;
    ASSERT_TRUE(zip_writer::relocated_record(c.given, c.offset, &moved)) << c.what;
    EXPECT_EQ(record(le32(&c.given[20]), le32(&c.given[24]), c.offset32, c.extra).substr(10),
              moved.substr(10)) << c.what;
    EXPECT_EQ(c.needed, le16(&moved[6])) << c.what;
  }
  std::string moved;
  EXPECT_FALSE(zip_writer::relocated_record(record(kMax32, 9, 0, other), far, &moved))
      << "a size left to a ZIP64 field that is not there";
  EXPECT_FALSE(zip_writer::relocated_record(record(7, 9, 0, std::string(kMax16 - 4, 'x')), far, &moved))
      << "no room for the field";
}

}  // namespace
