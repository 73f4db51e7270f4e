// The part of WinZip AES that differs by platform: the cipher and the
// authentication code. Used by winzip_aes.cpp only.
#pragma once

#include <memory>

#include "archive/winzip_aes.h"

namespace winzip_aes {

// Null when the system's cryptography failed.
WinZipAesCipherStream::CipherHandle start_cipher(const WinZipAesKeys& keys);
// Encrypts whole blocks, each on its own (ECB).
void encrypt_blocks(WinZipAesCipherStream::Cipher& cipher, const unsigned char* in, unsigned char* out,
                    size_t size);
void authenticate(WinZipAesCipherStream::Cipher& cipher, const char* data, size_t size);
void finish_authentication(WinZipAesCipherStream::Cipher& cipher, unsigned char code[kCodeSize]);

}  // namespace winzip_aes
