// The painter paints on transparent paper and would mix the page with white at the end, in a pass
// of its own over every pixel, one at a time. Done here instead, row by row as the page is read,
// sixteen pixels are looked at together and most need nothing: untouched paper is white already
// and opaque paint stays. The others are mixed sixteen at a time.
//
// The painter's mix of paint p with white by coverage a is (255 (255 - a) + a p) / 255, rounded
// as (x + x / 256 + 128) / 256. It gives 255 for a = 0 and p for a = 255, so one formula serves
// every coverage, and every term stays below 65536.
#include "pagerender/paper.h"

#include "framework/cpu.h"

namespace quillamar::pagerender {
namespace {

unsigned char Mix(unsigned paint, unsigned alpha) {
  const unsigned x = 255 * (255 - alpha) + alpha * paint;
  return static_cast<unsigned char>((x + (x >> 8) + 0x80) >> 8);
}

void LayPixelsOnWhitePaper(unsigned char* pixels, unsigned char* alpha, int count) {
  for (int x = 0; x < count; ++x, pixels += 3) {
    for (int channel = 0; channel < 3; ++channel) pixels[channel] = Mix(pixels[channel], alpha[x]);
    alpha[x] = 255;
  }
}

#if defined(__x86_64__)

// Mixes 16 bytes of paint with white by their coverage, a byte each.
QUILLAMAR_SSSE3 __m128i MixBytes(__m128i paint, __m128i coverage) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i white = _mm_set1_epi16(255);
  const __m128i half = _mm_set1_epi16(0x80);
  const auto mix = [&](__m128i p, __m128i a) {
    const __m128i x =
        _mm_add_epi16(_mm_mullo_epi16(_mm_sub_epi16(white, a), white), _mm_mullo_epi16(a, p));
    return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(x, _mm_srli_epi16(x, 8)), half), 8);
  };
  return _mm_packus_epi16(mix(_mm_unpacklo_epi8(paint, zero), _mm_unpacklo_epi8(coverage, zero)),
                          mix(_mm_unpackhi_epi8(paint, zero), _mm_unpackhi_epi8(coverage, zero)));
}

// Sixteen pixels (48 bytes) at a time. Returns the pixels done.
QUILLAMAR_SSSE3 int LayBlocksOnWhitePaper(unsigned char* pixels, unsigned char* alpha, int width) {
  const auto load = [](const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  const auto store = [](unsigned char* at, __m128i bytes) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes);
  };
  const auto all_set = [](__m128i bytes, __m128i value) {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, value)) == 0xFFFF;
  };
  const __m128i clear = _mm_setzero_si128();
  const __m128i full = _mm_set1_epi8(-1);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i coverage = load(alpha + x);
    if (all_set(coverage, full)) continue;
    unsigned char* block = pixels + 3 * x;
    const __m128i v0 = load(block);
    const __m128i v1 = load(block + 16);
    const __m128i v2 = load(block + 32);
    // Untouched and white: laid already, whatever the coverage says.
    if (all_set(coverage, clear) && all_set(_mm_and_si128(_mm_and_si128(v0, v1), v2), full)) {
      continue;
    }
    // Each pixel's coverage for its three bytes.
    const SpreadBytes spread = SpreadEachByteThrice(coverage);
    store(block, MixBytes(v0, spread.low));
    store(block + 16, MixBytes(v1, spread.middle));
    store(block + 32, MixBytes(v2, spread.high));
    store(alpha + x, full);
  }
  return x;
}

#endif

}  // namespace

void LayRowOnWhitePaper(unsigned char* pixels, unsigned char* alpha, int width) noexcept {
  int x = 0;
#if defined(__x86_64__)
  if (HasCpuFeature(CpuFeature::kSsse3)) x = LayBlocksOnWhitePaper(pixels, alpha, width);
#endif
  LayPixelsOnWhitePaper(pixels + 3 * x, alpha + x, width - x);
}

}  // namespace quillamar::pagerender
