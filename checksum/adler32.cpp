// Adler-32: byte by byte for short runs, 32 bytes at a time with SSSE3 for the rest. The sums are
// reduced modulo 65521 at least every 5552 bytes, the most that cannot overflow 32 bits.
#include <algorithm>
#include <cstdint>

#include "checksum/checksum.h"

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

namespace quillamar::checksum {
namespace {

constexpr std::uint32_t kModulus = 65521;
constexpr std::size_t kMaxRun = 5552;

struct Sums {
  std::uint32_t a;
  std::uint32_t b;
};

Sums UpdateByBytes(Sums sums, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const std::size_t run = std::min(count, kMaxRun);
    for (std::size_t i = 0; i < run; ++i) {
      sums.a += bytes[i];
      sums.b += sums.a;
    }
    bytes += run;
    count -= run;
    sums.a %= kModulus;
    sums.b %= kModulus;
  }
  return sums;
}

#if defined(__x86_64__)

constexpr std::size_t kBlock = 32;

#define QUILLAMAR_SSSE3 __attribute__((target("ssse3")))

QUILLAMAR_SSSE3 std::uint32_t Total(__m128i lanes) {
  lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, 0x4E));
  lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, 0xB1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(lanes));
}

// Whole blocks of 32 bytes. Over a block, a grows by the byte sum and b by 32 times the old a
// plus the bytes weighted 32 down to 1; the old a's are summed in previous and added at the end.
QUILLAMAR_SSSE3 Sums UpdateByBlocks(Sums sums, const std::uint8_t* bytes, std::size_t blocks) {
  const __m128i weights_high =
      _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
  const __m128i weights_low = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i zero = _mm_setzero_si128();
  while (blocks > 0) {
    const std::size_t run = std::min(blocks, kMaxRun / kBlock);
    blocks -= run;
    __m128i previous = _mm_cvtsi32_si128(static_cast<int>(sums.a * run));
    __m128i a = zero;
    __m128i b = _mm_cvtsi32_si128(static_cast<int>(sums.b));
    for (std::size_t i = 0; i < run; ++i, bytes += kBlock) {
      const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
      const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16));
      previous = _mm_add_epi32(previous, a);
      a = _mm_add_epi32(a, _mm_add_epi32(_mm_sad_epu8(first, zero), _mm_sad_epu8(second, zero)));
      b = _mm_add_epi32(b, _mm_madd_epi16(_mm_maddubs_epi16(first, weights_high), ones));
      b = _mm_add_epi32(b, _mm_madd_epi16(_mm_maddubs_epi16(second, weights_low), ones));
    }
    b = _mm_add_epi32(b, _mm_slli_epi32(previous, 5));
    sums.a = (sums.a + Total(a)) % kModulus;
    sums.b = Total(b) % kModulus;
  }
  return sums;
}

bool HasSsse3() {
  static const bool kHas = __builtin_cpu_supports("ssse3");
  return kHas;
}

#endif

}  // namespace

std::uint32_t Adler32Update(std::uint32_t adler, const std::uint8_t* bytes, std::size_t count) {
  Sums sums{adler & 0xFFFF, adler >> 16};
#if defined(__x86_64__)
  if (count >= kBlock && HasSsse3()) {
    const std::size_t blocks = count / kBlock;
    sums = UpdateByBlocks(sums, bytes, blocks);
    bytes += blocks * kBlock;
    count -= blocks * kBlock;
  }
#endif
  sums = UpdateByBytes(sums, bytes, count);
  return sums.a | (sums.b << 16);
}

}  // namespace quillamar::checksum
