// The painter paints on transparent paper and would mix the page with white at the end, in a pass
// of its own over every pixel, one at a time. Done here instead, row by row as the page is read,
// sixteen pixels are looked at together and most need nothing: untouched paper is white already
// and opaque paint stays.
#include "pagerender/paper.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace quillamar::pagerender {
namespace {

// x / 255 rounded, as the painter divides.
unsigned char Div255(unsigned x) { return static_cast<unsigned char>((x + (x >> 8) + 0x80) >> 8); }

void LayPixelOnWhitePaper(unsigned char* pixel, unsigned char& alpha) {
  if (alpha == 255) return;
  const unsigned paper = (255 - alpha) * 255;
  for (int channel = 0; channel < 3; ++channel) {
    pixel[channel] = alpha == 0 ? 255 : Div255(paper + alpha * pixel[channel]);
  }
  alpha = 255;
}

#if defined(__x86_64__)

// Sixteen pixels at a time: all opaque, or all untouched and white, need no change. Returns the
// pixels done.
int LayBlocksOnWhitePaper(unsigned char* pixels, unsigned char* alpha, int width) {
  const auto load = [](const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
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
    const bool white =
        all_set(coverage, clear) &&
        all_set(_mm_and_si128(_mm_and_si128(load(block), load(block + 16)), load(block + 32)),
                full);
    if (white) continue;  // laid already, whatever the coverage says
    for (int i = 0; i < 16; ++i) LayPixelOnWhitePaper(block + 3 * i, alpha[x + i]);
  }
  return x;
}

#endif

}  // namespace

void LayRowOnWhitePaper(unsigned char* pixels, unsigned char* alpha, int width) noexcept {
  int x = 0;
#if defined(__x86_64__)
  x = LayBlocksOnWhitePaper(pixels, alpha, width);
#endif
  for (; x < width; ++x) LayPixelOnWhitePaper(pixels + 3 * x, alpha[x]);
}

}  // namespace quillamar::pagerender
