// WinZip AES through nettle; random salts from the kernel.
#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>
#include <sys/random.h>

#include <cerrno>
#include <algorithm>
#include <new>

#include "archive/winzip_aes_platform.h"

namespace {

constexpr unsigned kRounds = 1000;

}  // namespace

struct WinZipAesEncryptor::Cipher {
  aes256_ctx aes;
  hmac_sha1_ctx hmac;
};

void WinZipAesEncryptor::CipherDeleter::operator()(Cipher* cipher) const { delete cipher; }

namespace winzip_aes {

bool derive_keys(const std::string& password, const unsigned char* salt, WinZipAesKeys* keys) {
  unsigned char derived[2 * kKeySize + kVerifierSize];
  pbkdf2_hmac_sha1(password.size(), reinterpret_cast<const uint8_t*>(password.data()), kRounds,
                   kSaltSize, salt, sizeof derived, derived);
  std::copy(derived, derived + kKeySize, keys->encryption);
  std::copy(derived + kKeySize, derived + 2 * kKeySize, keys->authentication);
  std::copy(derived + 2 * kKeySize, derived + sizeof derived, keys->verifier);
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

WinZipAesEncryptor::CipherHandle start_cipher(const WinZipAesKeys& keys) {
  WinZipAesEncryptor::CipherHandle cipher(new (std::nothrow) WinZipAesEncryptor::Cipher);
  if (!cipher) return nullptr;
  aes256_set_encrypt_key(&cipher->aes, keys.encryption);
  hmac_sha1_set_key(&cipher->hmac, kKeySize, keys.authentication);
  return cipher;
}

void encrypt_blocks(WinZipAesEncryptor::Cipher& cipher, const unsigned char* in, unsigned char* out,
                    size_t size) {
  aes256_encrypt(&cipher.aes, size, out, in);
}

void authenticate(WinZipAesEncryptor::Cipher& cipher, const char* data, size_t size) {
  hmac_sha1_update(&cipher.hmac, size, reinterpret_cast<const uint8_t*>(data));
}

void finish_authentication(WinZipAesEncryptor::Cipher& cipher, unsigned char code[kCodeSize]) {
  hmac_sha1_digest(&cipher.hmac, kCodeSize, code);
}

}  // namespace winzip_aes
