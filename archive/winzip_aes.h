// WinZip AES-256 for entry data: keys derived from the password and a salt
// (PBKDF2 with HMAC-SHA1, 1,000 rounds), AES in counter mode with WinZip's
// little-endian counter starting at 1, and HMAC-SHA1 over the encrypted data,
// of which the first 10 bytes are stored. The cryptography is the system's
// own: nettle on POSIX systems, CNG on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace winzip_aes {

constexpr size_t kSaltSize = 16;
constexpr size_t kVerifierSize = 2;
constexpr size_t kCodeSize = 10;  // the stored part of the authentication code
constexpr size_t kKeySize = 32;
constexpr size_t kBlockSize = 16;

}  // namespace winzip_aes

struct WinZipAesKeys {
  unsigned char encryption[winzip_aes::kKeySize];
  unsigned char authentication[winzip_aes::kKeySize];
  unsigned char verifier[winzip_aes::kVerifierSize];
};

// Encrypts one entry's data, in as many pieces as it comes in, and
// authenticates what it encrypted.
class WinZipAesEncryptor {
 public:
  // Null when the system's cryptography failed.
  static std::unique_ptr<WinZipAesEncryptor> start(const WinZipAesKeys& keys);

  void encrypt(char* data, size_t size);
  // The authentication code of everything encrypted; the encryptor is done.
  void finish(unsigned char code[winzip_aes::kCodeSize]);

  struct Cipher;  // the platform's AES and HMAC state
  struct CipherDeleter {
    void operator()(Cipher* cipher) const;
  };
  using CipherHandle = std::unique_ptr<Cipher, CipherDeleter>;

 private:
  // Key stream is made this many blocks at a time.
  static constexpr size_t kStreamBlocks = 256;

  explicit WinZipAesEncryptor(CipherHandle cipher);
  void next_key_stream();

  CipherHandle cipher_;
  uint64_t counter_ = 0;
  unsigned char stream_[winzip_aes::kBlockSize * kStreamBlocks];
  size_t used_ = sizeof stream_;  // bytes of stream_ spent
};

namespace winzip_aes {

// False when the system's cryptography failed.
bool derive_keys(const std::string& password, const unsigned char* salt, WinZipAesKeys* keys);

// Fills `salt` with the system's random bytes; false when it has none.
bool random_salt(unsigned char* salt, size_t size);

}  // namespace winzip_aes
