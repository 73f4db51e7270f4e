// WinZip AES through nettle; random salts from the kernel.
#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>
#include <sys/random.h>

#include <cerrno>
#include <new>

#include "archive/winzip_aes_platform.h"

struct WinZipAesCipherStream::Cipher {
  size_t key_size;
  union {
    aes128_ctx aes128;
    aes192_ctx aes192;
    aes256_ctx aes256;
  };
  hmac_sha1_ctx hmac;
};

void WinZipAesCipherStream::CipherDeleter::operator()(Cipher* cipher) const { delete cipher; }

namespace winzip_aes {

bool system_pbkdf2_hmac_sha1(const std::string& password, const unsigned char* salt, size_t salt_size,
                             unsigned rounds, unsigned char* derived, size_t length) {
  pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const uint8_t*>(password.data()), rounds, salt_size,
                   salt, length, derived);
  return true;
}

bool random_salt(unsigned char* salt, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = getrandom(salt + got, size - got, 0);
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) got += static_cast<size_t>(n);
  }
  return true;
}

WinZipAesCipherStream::CipherHandle start_cipher(const WinZipAesKeys& keys) {
  WinZipAesCipherStream::CipherHandle cipher(new (std::nothrow) WinZipAesCipherStream::Cipher);
  if (!cipher) return nullptr;
  cipher->key_size = keys.key_size;
  switch (keys.key_size) {
    case 16: aes128_set_encrypt_key(&cipher->aes128, keys.encryption); break;
    case 24: aes192_set_encrypt_key(&cipher->aes192, keys.encryption); break;
    case 32: aes256_set_encrypt_key(&cipher->aes256, keys.encryption); break;
    default: return nullptr;
  }
  hmac_sha1_set_key(&cipher->hmac, keys.key_size, keys.authentication);
  return cipher;
}

void encrypt_blocks(WinZipAesCipherStream::Cipher& cipher, const unsigned char* in,
                    unsigned char* out, size_t size) {
  switch (cipher.key_size) {
    case 16: aes128_encrypt(&cipher.aes128, size, out, in); break;
    case 24: aes192_encrypt(&cipher.aes192, size, out, in); break;
    default: aes256_encrypt(&cipher.aes256, size, out, in); break;
  }
}

void authenticate(WinZipAesCipherStream::Cipher& cipher, const char* data, size_t size) {
  hmac_sha1_update(&cipher.hmac, size, reinterpret_cast<const uint8_t*>(data));
}

void finish_authentication(WinZipAesCipherStream::Cipher& cipher, unsigned char code[kCodeSize]) {
  hmac_sha1_digest(&cipher.hmac, kCodeSize, code);
}

}  // namespace winzip_aes
