// PBKDF2 with HMAC-SHA1 on the SHA extensions (SHA1RNDS4, SHA1NEXTE,
// SHA1MSG1, SHA1MSG2). Each 20-byte block of output is a chain of
// 2 × rounds compressions, each waiting for the one before it; up to four
// blocks are made side by side, so that the others' instructions run while
// one block's wait for their results. Every round's message is a 20-byte digest
// after the 64-byte key block, so its padding is fixed and its words are the
// digest's state as it stands: nothing is converted between the rounds.
//
// x86-64 is the one architecture Parvox is built for, on Linux and Windows:
// the extensions are enabled per function here, and those functions run only
// once cpu_has_sha_extensions() found them; on a CPU without them
// winzip_aes::derive_keys falls back to the system's cryptography.
#include "archive/pbkdf2_sha1.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "archive/scrub.h"

// Code using the extensions; it runs only where they were found.
#define WITH_SHA_EXTENSIONS __attribute__((target("sha,ssse3")))
// The rounds are written once for any number of lanes and inlined into
// one function per number, whose lanes then interleave.
#define INLINED __attribute__((always_inline)) inline

namespace {

constexpr size_t kBlockSize = 64;  // of SHA-1's message blocks, and of HMAC's key block
constexpr size_t kDigestSize = 20;
constexpr size_t kLanes = 4;  // output blocks made side by side

// 0: not asked yet, 1: the CPU has the extensions, 2: it has not. Threads
// asking at once all get the same answer.
std::atomic<int> sha_extensions{0};

bool ask_cpu_for_sha_extensions() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_SSSE3)) return false;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_SHA);
}

constexpr int word(uint32_t value) { return static_cast<int>(value); }

// SHA-1's state as the extensions hold it: A, B, C and D in `abcd` from the
// top lane down; E in the top lane of `e`, whose other lanes stay zero.
struct State {
  __m128i abcd;
  __m128i e;
};

WITH_SHA_EXTENSIONS State initial_state() {
  return {_mm_set_epi32(word(0x67452301), word(0xEFCDAB89), word(0x98BADCFE), word(0x10325476)),
          _mm_set_epi32(word(0xC3D2E1F0), 0, 0, 0)};
}

// A message block is four groups of four words: w[group][lane], the group's
// first word in the top lane. Rounds 4 × Group to 4 × Group + 3 of every
// lane, then the rounds after them; each group of words is made from the
// four before it, in the place of the first of them, as it is needed.
template <size_t Lanes, int Group>
WITH_SHA_EXTENSIONS INLINED void round_groups(__m128i (&abcd)[Lanes], __m128i (&previous)[Lanes],
                                              __m128i (&w)[4][Lanes]) {
  for (size_t lane = 0; lane < Lanes; ++lane) {
    __m128i& words = w[Group % 4][lane];
    if constexpr (Group >= 4) {
      words = _mm_sha1msg2_epu32(
          _mm_xor_si128(_mm_sha1msg1_epu32(words, w[(Group + 1) % 4][lane]), w[(Group + 2) % 4][lane]),
          w[(Group + 3) % 4][lane]);
    }
    // E of these rounds is A of the previous group's, turned by 30 bits.
    const __m128i e_and_words = _mm_sha1nexte_epu32(previous[lane], words);
    previous[lane] = abcd[lane];
    abcd[lane] = _mm_sha1rnds4_epu32(abcd[lane], e_and_words, Group / 5);
  }
  if constexpr (Group < 19) round_groups<Lanes, Group + 1>(abcd, previous, w);
}

// Compresses each lane's message block `w` (used up) into its state.
template <size_t Lanes>
WITH_SHA_EXTENSIONS INLINED void compress(State (&state)[Lanes], __m128i (&w)[4][Lanes]) {
  __m128i abcd[Lanes], previous[Lanes];
  for (size_t lane = 0; lane < Lanes; ++lane) {
    previous[lane] = state[lane].abcd;
    abcd[lane] = _mm_sha1rnds4_epu32(state[lane].abcd, _mm_add_epi32(state[lane].e, w[0][lane]), 0);
  }
  round_groups<Lanes, 1>(abcd, previous, w);
  for (size_t lane = 0; lane < Lanes; ++lane) {
    state[lane].abcd = _mm_add_epi32(abcd[lane], state[lane].abcd);
    state[lane].e = _mm_sha1nexte_epu32(previous[lane], state[lane].e);
  }
}

// HMAC's message block after its key block when the message is a digest:
// the digest, the end marker and the size, 84 bytes in bits.
template <size_t Lanes>
WITH_SHA_EXTENSIONS INLINED void digest_block(const State (&digest)[Lanes], __m128i (&w)[4][Lanes]) {
  const __m128i end_marker = _mm_set_epi32(0, word(0x80000000), 0, 0);
  const __m128i size_in_bits = _mm_set_epi32(0, 0, 0, (kBlockSize + kDigestSize) * 8);
  for (size_t lane = 0; lane < Lanes; ++lane) {
    w[0][lane] = digest[lane].abcd;
    w[1][lane] = _mm_or_si128(digest[lane].e, end_marker);
    w[2][lane] = _mm_setzero_si128();
    w[3][lane] = size_in_bits;
  }
}

WITH_SHA_EXTENSIONS void compress_bytes(State& state, const unsigned char* block) {
  const __m128i big_endian = _mm_set_epi64x(0x0001020304050607, 0x08090a0b0c0d0e0f);
  State lanes[1] = {state};
  __m128i w[4][1];
  for (size_t group = 0; group < 4; ++group) {
    w[group][0] =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * group)), big_endian);
  }
  compress(lanes, w);
  state = lanes[0];
  scrub::bytes(w, sizeof w);
  scrub::bytes(lanes, sizeof lanes);
}

void store_digest(const State& state, unsigned char* out, size_t size) {
  uint32_t lanes[8];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), state.abcd);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 4), state.e);
  const uint32_t words[5] = {lanes[3], lanes[2], lanes[1], lanes[0], lanes[7]};
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(words[i / 4] >> (24 - 8 * (i % 4)));
  scrub::bytes(lanes, sizeof lanes);
}

// SHA-1 of a message of any size, continuing from `start` after `hashed`
// bytes (a multiple of kBlockSize).
class Sha1 {
 public:
  explicit Sha1(const State& start, uint64_t hashed = 0) : state_(start), size_(hashed) {}
  ~Sha1() {
    scrub::bytes(&state_, sizeof state_);
    scrub::bytes(block_, sizeof block_);
  }
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  WITH_SHA_EXTENSIONS void add(const unsigned char* data, size_t size) {
    size_ += size;
    while (size > 0) {
      const size_t n = std::min(size, kBlockSize - used_);
      std::memcpy(block_ + used_, data, n);
      used_ += n;
      data += n;
      size -= n;
      if (used_ == kBlockSize) {
        compress_bytes(state_, block_);
        used_ = 0;
      }
    }
  }

  WITH_SHA_EXTENSIONS State finish() {
    const uint64_t bits = size_ * 8;
    const unsigned char end_marker = 0x80, zero = 0;
    add(&end_marker, 1);
    while (used_ != kBlockSize - 8) add(&zero, 1);
    unsigned char size[8];
    for (size_t i = 0; i < 8; ++i) size[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    add(size, sizeof size);
    return state_;
  }

 private:
  State state_;
  unsigned char block_[kBlockSize];
  size_t used_ = 0;
  uint64_t size_;
};

// What every HMAC-SHA1 with one key starts from: both hashes after their key
// block.
struct HmacStart {
  State inner;
  State outer;
  HmacStart() = default;
  HmacStart(const HmacStart&) = delete;
  HmacStart& operator=(const HmacStart&) = delete;
  ~HmacStart() { scrub::bytes(this, sizeof *this); }
};

// A key longer than a block is replaced by its digest.
WITH_SHA_EXTENSIONS void start_hmac(const unsigned char* key, size_t key_size, HmacStart* start) {
  unsigned char block[kBlockSize] = {};
  if (key_size > kBlockSize) {
    Sha1 hash(initial_state());
    hash.add(key, key_size);
    State digest = hash.finish();
    store_digest(digest, block, kDigestSize);
    scrub::bytes(&digest, sizeof digest);
  } else if (key_size > 0) {
    std::memcpy(block, key, key_size);
  }
  for (unsigned char& byte : block) byte ^= 0x36;
  start->inner = initial_state();
  compress_bytes(start->inner, block);
  for (unsigned char& byte : block) byte ^= 0x36 ^ 0x5c;
  start->outer = initial_state();
  compress_bytes(start->outer, block);
  scrub::bytes(block, sizeof block);
}

// The inner hash of the first round of output block `number`: over the salt
// and the block's number.
WITH_SHA_EXTENSIONS State first_inner_digest(const HmacStart& hmac, const unsigned char* salt,
                                             size_t salt_size, uint32_t number) {
  Sha1 hash(hmac.inner, kBlockSize);
  hash.add(salt, salt_size);
  const unsigned char big_endian_number[4] = {
      static_cast<unsigned char>(number >> 24), static_cast<unsigned char>(number >> 16),
      static_cast<unsigned char>(number >> 8), static_cast<unsigned char>(number)};
  hash.add(big_endian_number, sizeof big_endian_number);
  return hash.finish();
}

// Output blocks `first` to `first + Lanes - 1`, of which the first `size`
// bytes go to `out`.
template <size_t Lanes>
WITH_SHA_EXTENSIONS void derive_blocks(const HmacStart& hmac, const unsigned char* salt, size_t salt_size,
                                       unsigned rounds, uint32_t first, unsigned char* out, size_t size) {
  State u[Lanes], inner[Lanes], sum[Lanes];
  __m128i w[4][Lanes];
  for (size_t lane = 0; lane < Lanes; ++lane) {
    inner[lane] = first_inner_digest(hmac, salt, salt_size, first + static_cast<uint32_t>(lane));
  }
  digest_block(inner, w);
  for (State& state : u) state = hmac.outer;
  compress(u, w);
  std::copy(u, u + Lanes, sum);
  for (unsigned round = 1; round < rounds; ++round) {
    digest_block(u, w);
    for (State& state : inner) state = hmac.inner;
    compress(inner, w);
    digest_block(inner, w);
    for (State& state : u) state = hmac.outer;
    compress(u, w);
    for (size_t lane = 0; lane < Lanes; ++lane) {
      sum[lane].abcd = _mm_xor_si128(sum[lane].abcd, u[lane].abcd);
      sum[lane].e = _mm_xor_si128(sum[lane].e, u[lane].e);
    }
  }
  for (size_t lane = 0; lane < Lanes; ++lane) {
    const size_t offset = lane * kDigestSize;
    store_digest(sum[lane], out + offset, std::min(kDigestSize, size - offset));
  }
  scrub::bytes(u, sizeof u);
  scrub::bytes(inner, sizeof inner);
  scrub::bytes(sum, sizeof sum);
  scrub::bytes(w, sizeof w);
}

}  // namespace

bool pbkdf2_sha1::cpu_has_sha_extensions() {
  int known = sha_extensions.load(std::memory_order_relaxed);
  if (known == 0) {
    known = ask_cpu_for_sha_extensions() ? 1 : 2;
    sha_extensions.store(known, std::memory_order_relaxed);
  }
  return known == 1;
}

void pbkdf2_sha1::derive(const unsigned char* password, size_t password_size, const unsigned char* salt,
                         size_t salt_size, unsigned rounds, unsigned char* derived, size_t length) {
  HmacStart hmac;
  start_hmac(password, password_size, &hmac);
  uint32_t number = 1;
  for (size_t done = 0; done < length;) {
    const size_t size = std::min(length - done, kLanes * kDigestSize);
    const size_t lanes = (size + kDigestSize - 1) / kDigestSize;
    switch (lanes) {
      case 1: derive_blocks<1>(hmac, salt, salt_size, rounds, number, derived + done, size); break;
      case 2: derive_blocks<2>(hmac, salt, salt_size, rounds, number, derived + done, size); break;
      case 3: derive_blocks<3>(hmac, salt, salt_size, rounds, number, derived + done, size); break;
      default: derive_blocks<kLanes>(hmac, salt, salt_size, rounds, number, derived + done, size); break;
    }
    done += size;
    number += static_cast<uint32_t>(lanes);
  }
}
