#include "archive/winzip_aes.h"

#include <algorithm>

#include "archive/winzip_aes_platform.h"

WinZipAesEncryptor::WinZipAesEncryptor(CipherHandle cipher) : cipher_(std::move(cipher)) {}

std::unique_ptr<WinZipAesEncryptor> WinZipAesEncryptor::start(const WinZipAesKeys& keys) {
  CipherHandle cipher = winzip_aes::start_cipher(keys);
  if (!cipher) return nullptr;
  return std::unique_ptr<WinZipAesEncryptor>(new WinZipAesEncryptor(std::move(cipher)));
}

// Each counter block is the counter as a 128-bit little-endian number.
void WinZipAesEncryptor::next_key_stream() {
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

void WinZipAesEncryptor::encrypt(char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    if (used_ == sizeof stream_) next_key_stream();
    const size_t n = std::min(size - done, sizeof stream_ - used_);
    for (size_t i = 0; i < n; ++i) data[done + i] = static_cast<char>(data[done + i] ^ stream_[used_ + i]);
    used_ += n;
    done += n;
  }
  winzip_aes::authenticate(*cipher_, data, size);
}

void WinZipAesEncryptor::finish(unsigned char code[winzip_aes::kCodeSize]) {
  winzip_aes::finish_authentication(*cipher_, code);
}

