#include "archive/winzip_aes.h"

#include <algorithm>

#include "archive/pbkdf2_sha1.h"
#include "archive/scrub.h"
#include "archive/winzip_aes_platform.h"
#include "archive/zip_format.h"

size_t winzip_aes::key_size_of_strength(unsigned strength) {
  return strength >= 1 && strength <= 3 ? 8 + 8 * strength : 0;
}

// The field's data: version, vendor "AE", strength, method.
bool winzip_aes::parse_field(const std::string& data, Field* field) {
  if (data.size() != 7 || data[2] != 'A' || data[3] != 'E') return false;
  field->version = zip_format::le16(&data[0]);
  field->key_size = key_size_of_strength(static_cast<unsigned char>(data[4]));
  field->method = zip_format::le16(&data[5]);
  return (field->version == 1 || field->version == kAe2) && field->key_size != 0;
}

bool winzip_aes::derive_keys(const std::string& password, const unsigned char* salt,
                             WinZipAesKeys* keys) {
  return derive_keys(password, salt, kKeySize, keys);
}

bool winzip_aes::derive_keys(const std::string& password, const unsigned char* salt, size_t key_size,
                             WinZipAesKeys* keys) {
  unsigned char derived[2 * kKeySize + kVerifierSize];
  const size_t length = 2 * key_size + kVerifierSize;
  if (pbkdf2_sha1::cpu_has_sha_extensions()) {
    pbkdf2_sha1::derive(reinterpret_cast<const unsigned char*>(password.data()), password.size(), salt,
                        salt_size_of(key_size), kKeyDerivationRounds, derived, length);
  } else if (!system_pbkdf2_hmac_sha1(password, salt, salt_size_of(key_size), kKeyDerivationRounds,
                                      derived, length)) {
    return false;
  }
  keys->key_size = key_size;
  std::copy(derived, derived + key_size, keys->encryption);
  std::copy(derived + key_size, derived + 2 * key_size, keys->authentication);
  std::copy(derived + 2 * key_size, derived + length, keys->verifier);
  scrub::bytes(derived, sizeof derived);
  return true;
}

WinZipAesCipherStream::WinZipAesCipherStream(CipherHandle cipher) : cipher_(std::move(cipher)) {}

// Each counter block is the counter as a 128-bit little-endian number.
void WinZipAesCipherStream::next_key_stream() {
  unsigned char counters[sizeof stream_] = {};
  for (size_t block = 0; block < kStreamBlocks; ++block) {
    ++counter_;
    for (size_t i = 0; i < sizeof counter_; ++i) {
      counters[block * winzip_aes::kBlockSize + i] = static_cast<unsigned char>(counter_ >> (8 * i));
    }
  }
  winzip_aes::encrypt_blocks(*cipher_, counters, stream_, sizeof stream_);
  used_ = 0;
}

void WinZipAesCipherStream::apply_key_stream(char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    if (used_ == sizeof stream_) next_key_stream();
    const size_t n = std::min(size - done, sizeof stream_ - used_);
    for (size_t i = 0; i < n; ++i) data[done + i] = static_cast<char>(data[done + i] ^ stream_[used_ + i]);
    used_ += n;
    done += n;
  }
}

std::unique_ptr<WinZipAesEncryptor> WinZipAesEncryptor::start(const WinZipAesKeys& keys) {
  CipherHandle cipher = winzip_aes::start_cipher(keys);
  if (!cipher) return nullptr;
  return std::unique_ptr<WinZipAesEncryptor>(new WinZipAesEncryptor(std::move(cipher)));
}

void WinZipAesEncryptor::encrypt(char* data, size_t size) {
  apply_key_stream(data, size);
  winzip_aes::authenticate(*cipher_, data, size);
}

void WinZipAesEncryptor::finish(unsigned char code[winzip_aes::kCodeSize]) {
  winzip_aes::finish_authentication(*cipher_, code);
}

std::unique_ptr<WinZipAesDecryptor> WinZipAesDecryptor::start(const WinZipAesKeys& keys) {
  CipherHandle cipher = winzip_aes::start_cipher(keys);
  if (!cipher) return nullptr;
  return std::unique_ptr<WinZipAesDecryptor>(new WinZipAesDecryptor(std::move(cipher)));
}

void WinZipAesDecryptor::decrypt(char* data, size_t size) {
  winzip_aes::authenticate(*cipher_, data, size);
  apply_key_stream(data, size);
}

// Compared in full whatever differs: the time taken tells nothing.
bool WinZipAesDecryptor::authenticates(const unsigned char code[winzip_aes::kCodeSize]) {
  unsigned char expected[winzip_aes::kCodeSize];
  winzip_aes::finish_authentication(*cipher_, expected);
  unsigned char difference = 0;
  for (size_t i = 0; i < winzip_aes::kCodeSize; ++i) difference |= expected[i] ^ code[i];
  return difference == 0;
}
