// The zip format's facts, written down once for the reading and the writing
// side: record signatures and sizes, general purpose flags, method ids,
// versions, extra field ids, the little-endian codec of every field, the
// extra field walker and the CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zip_format {

// Record signatures, as the little-endian numbers that start each record.
constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kDataDescriptorSignature = 0x08074b50;
constexpr uint32_t kCentralRecordSignature = 0x02014b50;
constexpr uint32_t kZip64EndRecordSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kEndRecordSignature = 0x06054b50;

// Record sizes without their variable parts (name, extra fields, comment).
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralRecordSize = 46;
constexpr size_t kZip64EndRecordSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kMaxCommentSize = 0xFFFF;
// A data descriptor: signature, CRC and two 8-byte sizes at most.
constexpr size_t kMaxDescriptorSize = 24;

// General purpose flags.
constexpr uint16_t kFlagEncrypted = 1 << 0;
constexpr uint16_t kFlagDescriptor = 1 << 3;
constexpr uint16_t kFlagStrongEncryption = 1 << 6;
constexpr uint16_t kFlagUtf8 = 1 << 11;

// Compression methods; WinZip AES stands in the place of the method, which
// its extra field then holds.
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kMethodLzma = 14;
constexpr uint16_t kMethodWinZipAes = 99;

// "Version needed to extract": 2.0 (deflate, folders), 4.5 (ZIP64).
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kVersionNeededZip64 = 45;

// Extra field ids.
constexpr uint16_t kZip64Field = 0x0001;
constexpr uint16_t kNtfsField = 0x000a;
constexpr uint16_t kExtendedTimestampField = 0x5455;
constexpr uint16_t kUnicodePathField = 0x7075;
constexpr uint16_t kUnixOwnerField = 0x7875;
constexpr uint16_t kWinZipAesField = 0x9901;

// A 16- or 32-bit field of all ones leaves its value to a ZIP64 field.
constexpr uint16_t kMax16 = 0xFFFF;
constexpr uint32_t kMax32 = 0xFFFFFFFF;

// Fields are little-endian: put appends the low 2, 4 or 8 bytes of `value`.
inline void put16(std::string& out, uint64_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

inline void put32(std::string& out, uint64_t value) {
  put16(out, value & 0xFFFF);
  put16(out, (value >> 16) & 0xFFFF);
}

inline void put64(std::string& out, uint64_t value) {
  put32(out, value & kMax32);
  put32(out, value >> 32);
}

inline uint16_t le16(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

inline uint32_t le32(const char* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }

inline uint64_t le64(const char* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

// Whether the record at `p` (at least 4 bytes) starts with `signature`.
inline bool has_signature(const char* p, uint32_t signature) { return le32(p) == signature; }

// The data of the first extra field with `id` in `extra` (a record's or local
// header's extra fields); false when there is none before the fields end or
// one runs past their end.
bool find_extra_field(const std::string& extra, uint16_t id, std::string* data);

// `extra` without any field with `id`, the others as they were.
std::string without_extra_field(const std::string& extra, uint16_t id);

// The CRC-32 of the format, continued from `crc` (0 to start) over `size`
// bytes at `data`.
uint32_t crc32(uint32_t crc, const char* data, size_t size);
inline uint32_t crc32(const std::string& bytes) { return crc32(0, bytes.data(), bytes.size()); }
// The CRC-32 of two runs joined, from their CRC-32s and the second's length
// (a chunk's: z_off_t is 32 bits on Windows).
uint32_t crc32_combine(uint32_t first, uint32_t second, size_t second_size);

}  // namespace zip_format
