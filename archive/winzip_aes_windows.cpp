// WinZip AES through CNG (bcrypt), random salts from the system's generator.
// Algorithm providers are opened per key: CNG handles may be shared between
// threads, but a first-use static would need a guard of its own.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <new>

#include "archive/winzip_aes_platform.h"

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

struct Provider {
  BCRYPT_ALG_HANDLE handle = nullptr;
  Provider(const wchar_t* algorithm, ULONG flags) {
    if (!succeeded(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, flags))) handle = nullptr;
  }
  ~Provider() {
    if (handle) BCryptCloseAlgorithmProvider(handle, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
};

UCHAR* bytes(const void* data) { return static_cast<UCHAR*>(const_cast<void*>(data)); }

}  // namespace

struct WinZipAesCipherStream::Cipher {
  Provider aes{BCRYPT_AES_ALGORITHM, 0};
  Provider hmac{BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG};
  BCRYPT_KEY_HANDLE key = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Cipher() {
    if (hash) BCryptDestroyHash(hash);
    if (key) BCryptDestroyKey(key);
  }
};

void WinZipAesCipherStream::CipherDeleter::operator()(Cipher* cipher) const { delete cipher; }

namespace winzip_aes {

bool system_pbkdf2_hmac_sha1(const std::string& password, const unsigned char* salt, size_t salt_size,
                             unsigned rounds, unsigned char* derived, size_t length) {
  Provider hmac(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  return hmac.handle &&
         succeeded(BCryptDeriveKeyPBKDF2(hmac.handle, bytes(password.data()),
                                         static_cast<ULONG>(password.size()), bytes(salt),
                                         static_cast<ULONG>(salt_size), rounds, derived,
                                         static_cast<ULONG>(length), 0));
}

bool random_salt(unsigned char* salt, size_t size) {
  return succeeded(BCryptGenRandom(nullptr, salt, static_cast<ULONG>(size),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

WinZipAesCipherStream::CipherHandle start_cipher(const WinZipAesKeys& keys) {
  WinZipAesCipherStream::CipherHandle cipher(new (std::nothrow) WinZipAesCipherStream::Cipher);
  if (!cipher || !cipher->aes.handle || !cipher->hmac.handle) return nullptr;
  const wchar_t* ecb = BCRYPT_CHAIN_MODE_ECB;
  if (!succeeded(BCryptSetProperty(cipher->aes.handle, BCRYPT_CHAINING_MODE, bytes(ecb),
                                   sizeof(BCRYPT_CHAIN_MODE_ECB), 0)) ||
      !succeeded(BCryptGenerateSymmetricKey(cipher->aes.handle, &cipher->key, nullptr, 0,
                                            bytes(keys.encryption), static_cast<ULONG>(keys.key_size), 0)) ||
      !succeeded(BCryptCreateHash(cipher->hmac.handle, &cipher->hash, nullptr, 0,
                                  bytes(keys.authentication), static_cast<ULONG>(keys.key_size), 0))) {
    return nullptr;
  }
  return cipher;
}

void encrypt_blocks(WinZipAesCipherStream::Cipher& cipher, const unsigned char* in, unsigned char* out,
                    size_t size) {
  ULONG written = 0;
  BCryptEncrypt(cipher.key, bytes(in), static_cast<ULONG>(size), nullptr, nullptr, 0, out,
                static_cast<ULONG>(size), &written, 0);
}

void authenticate(WinZipAesCipherStream::Cipher& cipher, const char* data, size_t size) {
  BCryptHashData(cipher.hash, bytes(data), static_cast<ULONG>(size), 0);
}

void finish_authentication(WinZipAesCipherStream::Cipher& cipher, unsigned char code[kCodeSize]) {
  unsigned char digest[20];
  BCryptFinishHash(cipher.hash, digest, sizeof digest, 0);
  std::copy(digest, digest + kCodeSize, code);
}

}  // namespace winzip_aes
