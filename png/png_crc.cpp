// The chunk CRC: the table of the standard polynomial 0xEDB88320, and a carry-less multiply path
// that folds 16 bytes at a time for the long runs of image data.
#include "png/png_crc.h"

#include <algorithm>
#include <cstdint>

#include "framework/cpu.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillamar::png {

namespace {

struct CrcTable {
  std::uint32_t entries[256];
  CrcTable() {
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entries[n] = c;
    }
  }
};

const CrcTable& Table() {
  static const CrcTable kTable;  // built on first use
  return kTable;
}

std::uint32_t UpdateByTable(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count) {
  const CrcTable& table = Table();
  for (std::size_t i = 0; i < count; ++i) crc = table.entries[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)

#define QUILLAMAR_CLMUL __attribute__((target("pclmul")))

__m128i Load(const std::uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// value carried 128 bits on: both halves multiplied by their constants, then the next block added
QUILLAMAR_CLMUL inline __m128i Fold(__m128i value, __m128i constants, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(value, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(value, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Folding constants for the reflected polynomial: a pair folds a block the given distance on,
// x^(distance−32) mod P for its upper half and x^(distance+32) mod P for its lower half.
constexpr long long kFold128High = 0x00ccaa009e, kFold128Low = 0x01751997d0;
constexpr long long kFold256High = 0x015a546366, kFold256Low = 0x00f1da05aa;
constexpr long long kFold512High = 0x01c6e41596, kFold512Low = 0x0154442bd4;
constexpr long long kFold1024High = 0x014a7fe880, kFold1024Low = 0x01e88ef372;

// Folds the 16-byte blocks that follow x1 (count a multiple of 16) into it, then reduces the
// 128 bits to 64 with x^64 mod P and to 32 by Barrett reduction with P and its quotient.
QUILLAMAR_CLMUL std::uint32_t FinishFolding(__m128i x1, const std::uint8_t* bytes,
                                            std::size_t count) {
  const __m128i one_way = _mm_set_epi64x(kFold128High, kFold128Low);
  for (; count >= 16; bytes += 16, count -= 16) x1 = Fold(x1, one_way, Load(bytes));
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  __m128i x2 = _mm_clmulepi64_si128(x1, one_way, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), _mm_set_epi64x(0, 0x0163cd6124), 0x00);
  x1 = _mm_xor_si128(x1, x2);
  const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), barrett, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

// Folds whole 16-byte blocks (count a multiple of 16, at least 64), four 16-byte lanes at a time.
QUILLAMAR_CLMUL std::uint32_t UpdateByFolding(std::uint32_t crc, const std::uint8_t* bytes,
                                              std::size_t count) {
  __m128i x1 = _mm_xor_si128(Load(bytes), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load(bytes + 16);
  __m128i x3 = Load(bytes + 32);
  __m128i x4 = Load(bytes + 48);
  bytes += 64;
  count -= 64;
  const __m128i four_way = _mm_set_epi64x(kFold512High, kFold512Low);
  for (; count >= 64; bytes += 64, count -= 64) {
    x1 = Fold(x1, four_way, Load(bytes));
    x2 = Fold(x2, four_way, Load(bytes + 16));
    x3 = Fold(x3, four_way, Load(bytes + 32));
    x4 = Fold(x4, four_way, Load(bytes + 48));
  }
  const __m128i one_way = _mm_set_epi64x(kFold128High, kFold128Low);
  x1 = Fold(x1, one_way, x2);
  x1 = Fold(x1, one_way, x3);
  x1 = Fold(x1, one_way, x4);
  return FinishFolding(x1, bytes, count);
}

#define QUILLAMAR_WIDE_CLMUL __attribute__((target("avx2,pclmul,vpclmulqdq")))

QUILLAMAR_WIDE_CLMUL __m256i LoadWide(const std::uint8_t* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

QUILLAMAR_WIDE_CLMUL inline __m256i FoldWide(__m256i value, __m256i constants, __m256i next) {
  const __m256i low = _mm256_clmulepi64_epi128(value, constants, 0x00);
  const __m256i high = _mm256_clmulepi64_epi128(value, constants, 0x11);
  return _mm256_xor_si256(_mm256_xor_si256(low, high), next);
}

// The same folding with eight 16-byte lanes (count a multiple of 16, at least 128): twice the
// blocks per carry-less multiply, where the processor has the 256-bit form.
QUILLAMAR_WIDE_CLMUL std::uint32_t UpdateByWideFolding(std::uint32_t crc, const std::uint8_t* bytes,
                                                       std::size_t count) {
  __m256i y1 = _mm256_xor_si256(LoadWide(bytes),
                                _mm256_set_epi32(0, 0, 0, 0, 0, 0, 0, static_cast<int>(crc)));
  __m256i y2 = LoadWide(bytes + 32);
  __m256i y3 = LoadWide(bytes + 64);
  __m256i y4 = LoadWide(bytes + 96);
  bytes += 128;
  count -= 128;
  const __m256i four_way =
      _mm256_set_epi64x(kFold1024High, kFold1024Low, kFold1024High, kFold1024Low);
  for (; count >= 128; bytes += 128, count -= 128) {
    y1 = FoldWide(y1, four_way, LoadWide(bytes));
    y2 = FoldWide(y2, four_way, LoadWide(bytes + 32));
    y3 = FoldWide(y3, four_way, LoadWide(bytes + 64));
    y4 = FoldWide(y4, four_way, LoadWide(bytes + 96));
  }
  const __m256i one_way = _mm256_set_epi64x(kFold256High, kFold256Low, kFold256High, kFold256Low);
  y1 = FoldWide(y1, one_way, y2);
  y1 = FoldWide(y1, one_way, y3);
  y1 = FoldWide(y1, one_way, y4);
  const __m128i x1 = Fold(_mm256_castsi256_si128(y1), _mm_set_epi64x(kFold128High, kFold128Low),
                          _mm256_extracti128_si256(y1, 1));
  // The compiler puts no vzeroupper before this tail call. Without it the upper halves stay in
  // use after the return, and every later SSE instruction without the VEX prefix (libjpeg's
  // floating-point DCT, the painter's arithmetic) runs at a fraction of its speed.
  _mm256_zeroupper();
  return FinishFolding(x1, bytes, count);
}

#endif

// Runs shorter than this stay with the table: folding needs four blocks to start.
constexpr std::size_t kFoldingMin = 64;
// Runs from this length on fold eight lanes at a time, where the processor can.
constexpr std::size_t kWideFoldingMin = 256;

}  // namespace

std::uint32_t Crc32TableEntry(std::uint8_t n) { return Table().entries[n]; }

std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count) {
#if defined(__x86_64__)
  if (count >= kFoldingMin && HasCpuFeature(CpuFeature::kCarrylessMultiply)) {
    const std::size_t folded = count & ~std::size_t{15};
    crc = folded >= kWideFoldingMin && HasCpuFeature(CpuFeature::kWideCarrylessMultiply)
              ? UpdateByWideFolding(crc, bytes, folded)
              : UpdateByFolding(crc, bytes, folded);
    bytes += folded;
    count -= folded;
  }
#endif
  return UpdateByTable(crc, bytes, count);
}

}  // namespace quillamar::png
