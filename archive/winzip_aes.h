// WinZip AES for entry data: keys derived from the password and a salt
// (PBKDF2 with HMAC-SHA1, 1,000 rounds), AES in counter mode with WinZip's
// little-endian counter starting at 1, and HMAC-SHA1 over the encrypted data,
// of which the first 10 bytes are stored. Entries are written with AES-256
// and read with any of its three key sizes. The cryptography is the system's
// own: nettle on POSIX systems, CNG on Windows; keys are derived with the
// CPU's SHA extensions where it has them (archive/pbkdf2_sha1.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace winzip_aes {

constexpr size_t kSaltSize = 16;  // AES-256's, which the writer uses
constexpr size_t kVerifierSize = 2;
constexpr size_t kCodeSize = 10;  // the stored part of the authentication code
constexpr size_t kKeySize = 32;   // AES-256's, the largest
constexpr size_t kBlockSize = 16;
constexpr unsigned kKeyDerivationRounds = 1000;

// The key size of the strength an AES extra field names (1: AES-128,
// 2: AES-192, 3: AES-256), or 0 for any other; its salt is half as long.
size_t key_size_of_strength(unsigned strength);
constexpr size_t salt_size_of(size_t key_size) { return key_size / 2; }

// An entry's WinZip AES extra field: its version (AE-2 leaves the CRC out),
// the key size of its strength, and the method of the data it encrypts.
struct Field {
  uint16_t version = 0;
  size_t key_size = 0;
  uint16_t method = 0;
};
constexpr uint16_t kAe2 = 2;
// The field whose data is `data`; false when it is none of AE-1 or AE-2 with
// a known strength.
bool parse_field(const std::string& data, Field* field);

}  // namespace winzip_aes

struct WinZipAesKeys {
  size_t key_size = winzip_aes::kKeySize;  // of each key below: 16, 24 or 32
  unsigned char encryption[winzip_aes::kKeySize];
  unsigned char authentication[winzip_aes::kKeySize];
  unsigned char verifier[winzip_aes::kVerifierSize];
};

// What encrypting and decrypting share: the key stream of AES in counter
// mode, and HMAC-SHA1 over the encrypted data.
class WinZipAesCipherStream {
 public:
  struct Cipher;  // the platform's AES and HMAC state
  struct CipherDeleter {
    void operator()(Cipher* cipher) const;
  };
  using CipherHandle = std::unique_ptr<Cipher, CipherDeleter>;

 protected:
  explicit WinZipAesCipherStream(CipherHandle cipher);
  // XORs `data` with the next `size` bytes of key stream.
  void apply_key_stream(char* data, size_t size);

  CipherHandle cipher_;

 private:
  // Key stream is made this many blocks at a time.
  static constexpr size_t kStreamBlocks = 256;
  void next_key_stream();

  uint64_t counter_ = 0;
  unsigned char stream_[winzip_aes::kBlockSize * kStreamBlocks];
  size_t used_ = sizeof stream_;  // bytes of stream_ spent
};

// Encrypts one entry's data, in as many pieces as it comes in, and
// authenticates what it encrypted.
class WinZipAesEncryptor final : public WinZipAesCipherStream {
 public:
  // Null when the system's cryptography failed.
  static std::unique_ptr<WinZipAesEncryptor> start(const WinZipAesKeys& keys);

  void encrypt(char* data, size_t size);
  // The authentication code of everything encrypted; the encryptor is done.
  void finish(unsigned char code[winzip_aes::kCodeSize]);

 private:
  using WinZipAesCipherStream::WinZipAesCipherStream;
};

// Decrypts one entry's data, in as many pieces as it comes in, authenticating
// each piece before it decrypts it.
class WinZipAesDecryptor final : public WinZipAesCipherStream {
 public:
  // Null when the system's cryptography failed.
  static std::unique_ptr<WinZipAesDecryptor> start(const WinZipAesKeys& keys);

  void decrypt(char* data, size_t size);
  // Whether everything decrypted is what the stored authentication code
  // `code` authenticates; the decryptor is done.
  bool authenticates(const unsigned char code[winzip_aes::kCodeSize]);

 private:
  using WinZipAesCipherStream::WinZipAesCipherStream;
};

namespace winzip_aes {

// AES-256 keys from a salt of kSaltSize; false when the system's
// cryptography failed.
bool derive_keys(const std::string& password, const unsigned char* salt, WinZipAesKeys* keys);
// Keys of `key_size` (16, 24 or 32) from a salt of salt_size_of(key_size).
bool derive_keys(const std::string& password, const unsigned char* salt, size_t key_size,
                 WinZipAesKeys* keys);

// PBKDF2 with HMAC-SHA1 by the system's cryptography: `length` bytes into
// `derived`. derive_keys uses it on a CPU without SHA extensions; the tests
// hold pbkdf2_sha1::derive against it. False when it failed.
bool system_pbkdf2_hmac_sha1(const std::string& password, const unsigned char* salt, size_t salt_size,
                             unsigned rounds, unsigned char* derived, size_t length);

// Fills `salt` with the system's random bytes; false when it has none.
bool random_salt(unsigned char* salt, size_t size);

}  // namespace winzip_aes
