// Key derivation on the CPU's SHA extensions: the published answers of
// PBKDF2 with HMAC-SHA1, and the system's cryptography's answer for random
// passwords and salts of every WinZip AES key size. (7-Zip's AES entries in
// test_zip_entry_decoder.cpp decode only with keys derived right too.)
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/pbkdf2_sha1.h"
#include "archive/winzip_aes.h"

namespace {

std::string hex_of(const std::vector<unsigned char>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

std::vector<unsigned char> derived_fast(const std::string& password, const std::string& salt, unsigned rounds,
                                        size_t length) {
  std::vector<unsigned char> derived(length);
  pbkdf2_sha1::derive(reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                      reinterpret_cast<const unsigned char*>(salt.data()), salt.size(), rounds, derived.data(),
                      length);
  return derived;
}

#define SKIP_WITHOUT_SHA_EXTENSIONS()                                            \
  if (!pbkdf2_sha1::cpu_has_sha_extensions()) {                                  \
    GTEST_SKIP() << "this CPU has no SHA extensions: the system's derivation serves"; \
  }

// RFC 6070 (all but its 16,777,216 rounds) and RFC 3962: passwords of one
// block and just over one (hashed first), NUL bytes, several output blocks.
TEST(Pbkdf2Sha1, KnownAnswers) {
  SKIP_WITHOUT_SHA_EXTENSIONS();
  struct Case {
    std::string password, salt;
    unsigned rounds;
    const char* expected;
  } cases[] = {
      {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
      {std::string(64, 'X'), "pass phrase equals block size", 1200,
       "139c30c0966bc32ba55fdbf212530ac9c5ec59f1a452f5cc9ad940fea0598ed1"},
      {std::string(65, 'X'), "pass phrase exceeds block size", 1200,
       "9ccad6d468770cd51b10e6a68721be611a8b4d282601db3b36be9246915ec82a"},
      {"\xF0\x9D\x84\x9E", "EXAMPLE.COMpianist", 50,
       "6b9cf26d45455a43a5b8bb276a403b39e7fe37a0c41e02c281ff3069e1e94f52"},
  };
  for (const Case& c : cases) {
    const std::string expected = c.expected;
    EXPECT_EQ(hex_of(derived_fast(c.password, c.salt, c.rounds, expected.size() / 2)), expected)
        << "password " << testing::PrintToString(c.password) << ", " << c.rounds << " rounds";
  }
}

// Passwords of 0 to 200 bytes of any value, salts of each key size's length,
// WinZip's 1,000 rounds and output length.
TEST(Pbkdf2Sha1, AgreesWithTheSystemsCryptography) {
  SKIP_WITHOUT_SHA_EXTENSIONS();
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const size_t key_sizes[] = {16, 24, 32};
  for (size_t password_size = 0; password_size <= 200; ++password_size) {
    std::string password(password_size, '\0');
    for (char& byte : password) byte = static_cast<char>(random() % 4 == 0 ? 0 : random());
    const size_t key_size = key_sizes[password_size % 3];
    std::string salt(winzip_aes::salt_size_of(key_size), '\0');
    for (char& byte : salt) byte = static_cast<char>(random());
    const size_t length = 2 * key_size + winzip_aes::kVerifierSize;
    std::vector<unsigned char> expected(length);
    ASSERT_TRUE(winzip_aes::system_pbkdf2_hmac_sha1(password, reinterpret_cast<const unsigned char*>(salt.data()),
                                                    salt.size(), winzip_aes::kKeyDerivationRounds,
                                                    expected.data(), length));
    EXPECT_EQ(hex_of(derived_fast(password, salt, winzip_aes::kKeyDerivationRounds, length)), hex_of(expected))
        << "password of " << password_size << " bytes, key size " << key_size;
  }
}

}  // namespace
