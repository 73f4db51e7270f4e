// PBKDF2 with HMAC-SHA1 on the CPU's SHA extensions: WinZip AES's key
// derivation in about half the time the system's cryptography takes.
// winzip_aes::derive_keys uses it where the CPU has the extensions and the
// system's derivation otherwise; the tests hold the two against each other.
#pragma once

#include <cstddef>

namespace pbkdf2_sha1 {

// Whether this CPU has the SHA extensions (and SSSE3) that derive() needs;
// the CPU is asked once.
bool cpu_has_sha_extensions();

// PBKDF2 with HMAC-SHA1: `length` bytes into `derived` from `password` and
// `salt` (any sizes, any bytes, NUL included) in `rounds` rounds (at least
// 1). Only where cpu_has_sha_extensions().
void derive(const unsigned char* password, size_t password_size, const unsigned char* salt,
            size_t salt_size, unsigned rounds, unsigned char* derived, size_t length);

}  // namespace pbkdf2_sha1
