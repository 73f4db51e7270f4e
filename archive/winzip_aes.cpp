#include "archive/winzip_aes.h"

#include <algorithm>

#include "archive/winzip_aes_platform.h"

namespace winzip_aes {

size_t key_size_of_strength(unsigned strength) {
  return strength >= 1 && strength <= 3 ? 8 + 8 * strength : 0;
}

bool derive_keys(const std::string& password, const unsigned char* salt, Keys* keys) {
  return derive_keys(password, salt, kKeySize, keys);
}

CipherStream::CipherStream(CipherHandle cipher) : cipher_(std::move(cipher)) {}

// Each counter block is the counter as a 128-bit little-endian number.
void CipherStream::next_key_stream() {
  unsigned char counters[sizeof stream_] = {};
  for (size_t block = 0; block < kStreamBlocks; ++block) {
    ++counter_;
    for (size_t i = 0; i < sizeof counter_; ++i) {
      counters[block * kBlockSize + i] = static_cast<unsigned char>(counter_ >> (8 * i));
    }
  }
  encrypt_blocks(*cipher_, counters, stream_, sizeof stream_);
  used_ = 0;
}

void CipherStream::apply_key_stream(char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    if (used_ == sizeof stream_) next_key_stream();
    const size_t n = std::min(size - done, sizeof stream_ - used_);
    for (size_t i = 0; i < n; ++i) data[done + i] = static_cast<char>(data[done + i] ^ stream_[used_ + i]);
    used_ += n;
    done += n;
  }
}

std::unique_ptr<Encryptor> Encryptor::start(const Keys& keys) {
  CipherHandle cipher = start_cipher(keys);
  if (!cipher) return nullptr;
  return std::unique_ptr<Encryptor>(new Encryptor(std::move(cipher)));
}

void Encryptor::encrypt(char* data, size_t size) {
  apply_key_stream(data, size);
  authenticate(*cipher_, data, size);
}

void Encryptor::finish(unsigned char code[kCodeSize]) { finish_authentication(*cipher_, code); }

std::unique_ptr<Decryptor> Decryptor::start(const Keys& keys) {
  CipherHandle cipher = start_cipher(keys);
  if (!cipher) return nullptr;
  return std::unique_ptr<Decryptor>(new Decryptor(std::move(cipher)));
}

void Decryptor::decrypt(char* data, size_t size) {
  authenticate(*cipher_, data, size);
  apply_key_stream(data, size);
}

// Compared in full whatever differs: the time taken tells nothing.
bool Decryptor::authenticates(const unsigned char code[kCodeSize]) {
  unsigned char expected[kCodeSize];
  finish_authentication(*cipher_, expected);
  unsigned char difference = 0;
  for (size_t i = 0; i < kCodeSize; ++i) difference |= expected[i] ^ code[i];
  return difference == 0;
}

}  // namespace winzip_aes
