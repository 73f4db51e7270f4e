// Parvox's own entry decoder: known answers written by 7-Zip (WinZip AES-128
// and AES-256 over deflate), round trips through zlib and the writer's
// encryption for entries too large to decode whole, and the reason each kind
// of damage is refused with.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "archive/read/zip_entry_decoder.h"
#include "archive/winzip_aes.h"

namespace {

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// `data` as a raw deflate stream; with Z_SYNC_FLUSH one not ended yet.
std::string deflated(const std::string& data, int flush = Z_FINISH) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, flush);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

uint32_t crc_of(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string text(size_t size) {
  std::string data;
  for (size_t line = 0; data.size() < size; ++line) {
    data += "line " + std::to_string(line * 7919 % 100003) + " of the text\n";
  }
  data.resize(size);
  return data;
}

// Noise (stored blocks when deflated) between runs of a repeated
// kilobyte (matches of the longest length), 6 MiB: both cross the
// decoder's input and output pieces.
std::string noise_and_runs() {
  std::string data;
  uint32_t seed = 1;
  auto noise = [&](size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
    return bytes;
  };
  while (data.size() < (6 << 20)) {
    data += noise(150000);
    const std::string kilobyte = noise(1000);
    for (int i = 0; i < 300; ++i) data += kilobyte;
  }
  return data;
}

// `body` encrypted as WinZip AES-256 (AE-1) with `password`: salt,
// verifier, data, authentication code.
std::string aes256(const std::string& body, const std::string& password) {
  unsigned char salt[winzip_aes::kSaltSize];
  for (size_t i = 0; i < sizeof salt; ++i) salt[i] = static_cast<unsigned char>(i * 37);
  WinZipAesKeys keys;
  EXPECT_TRUE(winzip_aes::derive_keys(password, salt, &keys));
  std::string data = body;
  std::unique_ptr<WinZipAesEncryptor> encryptor = WinZipAesEncryptor::start(keys);
  encryptor->encrypt(&data[0], data.size());
  unsigned char code[winzip_aes::kCodeSize];
  encryptor->finish(code);
  return std::string(reinterpret_cast<char*>(salt), sizeof salt) +
         std::string(reinterpret_cast<char*>(keys.verifier), winzip_aes::kVerifierSize) + data +
         std::string(reinterpret_cast<char*>(code), sizeof code);
}

std::string aes_field(int version, int strength, uint16_t method) {
  std::string field{static_cast<char>(version), 0, 'A', 'E', static_cast<char>(strength),
                    static_cast<char>(method & 0xFF), static_cast<char>(method >> 8)};
  return field;
}

struct Entry {
  std::string bytes;  // the entry's data as stored, after 3 bytes of something else
  EntryLayout layout;
};

Entry entry_of(const std::string& stored, uint16_t method, uint32_t crc, int64_t size,
               const std::string& aes = std::string()) {
  Entry entry;
  entry.bytes = "PK!" + stored + "PK\x01\x02";
  entry.layout.method = aes.empty() ? method : 99;
  entry.layout.flags = aes.empty() ? 0 : 1;
  entry.layout.aes_field = aes;
  entry.layout.crc = crc;
  entry.layout.compressed_size = static_cast<int64_t>(stored.size());
  entry.layout.size = size;
  entry.layout.data = 3;
  return entry;
}

struct Decoded {
  bool opened = false;
  bool whole = false;  // ended as a success
  std::string data;
  ReadFailure failure = ReadFailure::none;
  std::string detail;
};

Decoded decode(const Entry& entry, const std::string& password) {
  Decoded result;
  std::unique_ptr<ZipEntryDecoder> decoder = ZipEntryDecoder::open(
      std::unique_ptr<const ArchiveBytes>(new MemoryBytes(entry.bytes.data(), entry.bytes.size())),
      entry.layout, password, std::string());
  result.opened = decoder->open_entry();
  for (;;) {
    const char* data;
    size_t size;
    const ReadStatus status = decoder->read_chunk(&data, &size);
    if (status == ReadStatus::data) {
      result.data.append(data, size);
      continue;
    }
    result.whole = status == ReadStatus::end;
    break;
  }
  result.failure = decoder->failure();
  result.detail = decoder->failure_detail();
  return result;
}

const std::string kKnownText = [] {
  std::string text;
  for (int i = 0; i < 3; ++i) text += "Known answer for WinZip AES decryption.\n";
  return text;
}();

// Written by 7-Zip: `7z a -tzip -mem=AES128 -pparvox` (and AES256), AE-2.
const std::string kSevenZipAes128 = from_hex(
    "9e597dc07dd316de5c225339b17c89c02598d2073f6608e85a8e47350b1c93b5f5e7c01e4088f2f8647ed8cf567f"
    "9846f760c71c5b7bd1c0499f852c0824f8994719cac2e4ffe2a80cfdfb9988b6");
const std::string kSevenZipAes256 = from_hex(
    "d7af9d6f5acb5e01cf2dbd9a7ea2c27acdb3f6e66e1d631f40db9f5f0f833bba884abccbff022d993b4b75369d17"
    "bf9f517a7655538452e3c0d794f952b5b842ea957df757d184dc589ba216e04f7a6cab7090121325");

std::string flipped_at(std::string bytes, size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 1);
  return bytes;
}

TEST(ZipEntryDecoder, TakesStoredAndDeflatedDataPlainOrInWinZipAes) {
  struct Row {
    uint16_t method;
    uint16_t flags;
    std::string aes;
    bool taken;
  };
  const std::vector<Row> rows = {
      {0, 0, "", true},  {8, 0, "", true},   {8, 8, "", true},   // a descriptor changes nothing
      {8, 1, "", false},                                         // ZipCrypto
      {12, 0, "", false}, {14, 0, "", false}, {9, 0, "", false},  // bzip2, LZMA, deflate64
      {99, 1, aes_field(2, 3, 8), true}, {99, 1, aes_field(1, 1, 0), true},
      {99, 1, aes_field(2, 2, 8), true},
      {99, 1, aes_field(2, 3, 14), false},  // LZMA inside AES
      {99, 1, aes_field(3, 3, 8), false}, {99, 1, aes_field(2, 4, 8), false},
      {99, 0, aes_field(2, 3, 8), false},   // no encryption flag
      {99, 65, aes_field(2, 3, 8), false},  // strong encryption
      {99, 1, "", false},
  };
  for (const Row& row : rows) {
    EntryLayout layout;
    layout.method = row.method;
    layout.flags = row.flags;
    layout.aes_field = row.aes;
    EXPECT_EQ(row.taken, ZipEntryDecoder::takes(layout)) << row.method << " " << row.flags;
  }
}

TEST(ZipEntryDecoder, DecodesKnownAnswersAndRoundTrips) {
  const std::string big = text(9 << 20);  // decoded in chunks
  const std::string mixed = noise_and_runs();
  const std::string small = text(100000);
  struct Row {
    const char* what;
    Entry entry;
    std::string password;
    std::string data;
  };
  const std::vector<Row> rows = {
      {"stored", entry_of(small, 0, crc_of(small), small.size()), "", small},
      {"deflated", entry_of(deflated(small), 8, crc_of(small), small.size()), "", small},
      {"empty, stored", entry_of("", 0, 0, 0), "", ""},
      {"empty, deflated without a stream", entry_of("", 8, 0, 0), "", ""},
      {"7-Zip AES-128", entry_of(kSevenZipAes128, 0, 0, 120, aes_field(2, 1, 8)), "parvox",
       kKnownText},
      {"7-Zip AES-256", entry_of(kSevenZipAes256, 0, 0, 120, aes_field(2, 3, 8)), "parvox",
       kKnownText},
      {"bytes after the deflate stream", entry_of(deflated(small) + "pad", 8, crc_of(small),
                                                  small.size()), "", small},
      {"large, stored", entry_of(big, 0, crc_of(big), big.size()), "", big},
      {"large, deflated", entry_of(deflated(big), 8, crc_of(big), big.size()), "", big},
      {"large, bytes after the deflate stream",
       entry_of(deflated(big) + "pad", 8, crc_of(big), big.size()), "", big},
      {"large, stored blocks and long matches", entry_of(deflated(mixed), 8, crc_of(mixed), mixed.size()),
       "", mixed},
      {"large, deflated, AES-256 (AE-1)",
       entry_of(aes256(deflated(big), "pw"), 0, crc_of(big), big.size(), aes_field(1, 3, 8)),
       "pw", big},
      {"large, stored, AES-256 (AE-1)",
       entry_of(aes256(big, "pw"), 0, crc_of(big), big.size(), aes_field(1, 3, 0)), "pw", big},
  };
  for (const Row& row : rows) {
    const Decoded decoded = decode(row.entry, row.password);
    EXPECT_TRUE(decoded.opened && decoded.whole) << row.what << ": " << decoded.detail;
    EXPECT_TRUE(decoded.data == row.data) << row.what << ": " << decoded.data.size() << " bytes";
  }
}

TEST(ZipEntryDecoder, RefusesDamageWithItsReason) {
  const std::string big = text(9 << 20);
  const std::string small = text(100000);
  const std::string aes_big = aes256(deflated(big), "pw");
  // All its data, then its final block (empty) where the next entry's data
  // begins.
  Entry overlong = entry_of(deflated(big, Z_SYNC_FLUSH) + "\x03\x00", 8, crc_of(big), big.size());
  overlong.layout.compressed_size -= 2;
  struct Row {
    const char* what;
    Entry entry;
    std::string password;
    ReadFailure failure;
    std::string detail;
    bool fails_at_open;  // the entry cannot be opened: extraction passes it over
  };
  const auto damaged = ReadFailure::damaged;
  const std::vector<Row> rows = {
      {"no password", entry_of(kSevenZipAes256, 0, 0, 120, aes_field(2, 3, 8)), "",
       ReadFailure::no_password, "", true},
      {"a wrong password", entry_of(kSevenZipAes256, 0, 0, 120, aes_field(2, 3, 8)), "wrong",
       ReadFailure::wrong_password, "", true},
      {"a forged byte, AES whole",
       entry_of(flipped_at(kSevenZipAes256, 30), 0, 0, 120, aes_field(2, 3, 8)), "parvox",
       damaged, "authentication code mismatch", false},
      {"a forged authentication code",
       entry_of(flipped_at(kSevenZipAes256, kSevenZipAes256.size() - 1), 0, 0, 120,
                aes_field(2, 3, 8)), "parvox", damaged, "authentication code mismatch", false},
      {"a forged byte, AES in chunks",
       entry_of(flipped_at(aes_big, aes_big.size() / 2), 0, crc_of(big), big.size(),
                aes_field(1, 3, 8)), "pw", damaged, "authentication code mismatch", false},
      {"an encryption header cut short", entry_of("0123456789", 0, 0, 0, aes_field(2, 3, 8)),
       "pw", damaged, "its encryption header is cut short", true},
      {"a wrong CRC", entry_of(deflated(small), 8, crc_of(small) ^ 1, small.size()), "", damaged,
       "CRC mismatch", false},
      {"a wrong CRC, in chunks", entry_of(deflated(big), 8, crc_of(big) ^ 1, big.size()), "",
       damaged, "CRC mismatch", false},
      {"more than declared", entry_of(deflated(small), 8, crc_of(small), 1000), "", damaged,
       "more data than its declared size", false},
      {"more than declared, stored", entry_of(small, 0, crc_of(small), 1000), "", damaged,
       "more data than its declared size", false},
      {"more than declared, in chunks", entry_of(deflated(big), 8, crc_of(big), 5 << 20), "",
       damaged, "more data than its declared size", false},
      {"less than declared", entry_of(deflated(small), 8, crc_of(small), small.size() + 1), "",
       damaged, "its size differs from the central directory's", false},
      {"a stream cut short",
       entry_of(deflated(small).substr(0, 1000), 8, crc_of(small), small.size()), "", damaged,
       "broken compressed data", false},
      {"a stream cut short, in chunks",
       entry_of(deflated(big).substr(0, 100000), 8, crc_of(big), big.size()), "", damaged,
       "broken compressed data", false},
      {"no deflate stream", entry_of(std::string(50, '\xff'), 8, 0, 10), "", damaged,
       "broken compressed data", false},
      {"a final block past the compressed size, in chunks", overlong, "", damaged,
       "broken compressed data", false},
      {"a reserved block type after 4.5 MiB, in chunks",
       entry_of(deflated(big.substr(0, 9 << 19), Z_SYNC_FLUSH) + "\x07junk", 8, crc_of(big),
                big.size()), "", damaged, "broken compressed data", false},
  };
  for (const Row& row : rows) {
    const Decoded decoded = decode(row.entry, row.password);
    EXPECT_FALSE(decoded.whole) << row.what;
    EXPECT_EQ(!row.fails_at_open, decoded.opened) << row.what;
    EXPECT_EQ(row.failure, decoded.failure) << row.what;
    EXPECT_EQ(row.detail, decoded.detail) << row.what;
    EXPECT_LE(decoded.data.size(), static_cast<size_t>(row.entry.layout.size)) << row.what;
  }
}

}  // namespace
