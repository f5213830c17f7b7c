// Row filter reversal. Pixels of 3 and 4 bytes (8-bit RGB and RGBA, the page images) take a path
// that works on all bytes of a pixel at once; every other stride goes byte by byte.
#include "png/png_filters.h"

#include <algorithm>
#include <cstring>

#include "framework/cpu.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillamar::png::detail {

namespace {

void ReverseBytewise(std::uint8_t type, std::uint8_t* row, const std::uint8_t* prior,
                     std::size_t length, std::size_t s) {
  const std::size_t lead = std::min(s, length);
  switch (type) {
    case 1:
      for (std::size_t i = s; i < length; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + row[i - s]);
      break;
    case 2:
      for (std::size_t i = 0; i < length; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
      break;
    case 3:
      for (std::size_t i = 0; i < lead; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + prior[i] / 2);
      for (std::size_t i = s; i < length; ++i) {
        row[i] = static_cast<std::uint8_t>(row[i] + ((prior[i] + row[i - s]) >> 1));
      }
      break;
    case 4:
      for (std::size_t i = 0; i < lead; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
      for (std::size_t i = s; i < length; ++i) {
        row[i] = static_cast<std::uint8_t>(row[i] + Paeth(row[i - s], prior[i], prior[i - s]));
      }
      break;
    default:
      break;  // None, and unknown types, which are taken as stored
  }
}

#if defined(__SSE2__)

// One pixel of kBytes bytes widened to 16-bit lanes. Reads four bytes: a 3-byte pixel takes the
// next byte along (ignored), which the buffers' slack makes safe. One load of four bytes avoids
// assembling the pixel through memory, which would stall on the store just made.
template <std::size_t kBytes>
__m128i LoadPixel(const std::uint8_t* at) {
  std::int32_t bits = 0;
  std::memcpy(&bits, at, 4);
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(bits), _mm_setzero_si128());
}

void ReverseUp(std::uint8_t* row, const std::uint8_t* prior, std::size_t length) {
  std::size_t i = 0;
  for (; i + 16 <= length; i += 16) {
    const __m128i sum = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), sum);
  }
  for (; i < length; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
}

template <std::size_t kBytes>
void StorePixel(std::uint8_t* at, __m128i pixel) {
  const std::int32_t bits = _mm_cvtsi128_si32(_mm_packus_epi16(pixel, pixel));
  std::memcpy(at, &bits, kBytes);
}

__m128i Abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

// where mask is set take a, elsewhere b
__m128i Select(__m128i mask, __m128i a, __m128i b) {
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// Sub, Average and Paeth carry each pixel into the next, so the walk goes pixel by pixel with
// all channels of a pixel in one register. Bytes are added modulo 256 by keeping the low byte.
template <std::size_t kBytes>
bool ReversePixelwise(std::uint8_t type, std::uint8_t* row, const std::uint8_t* prior,
                      std::size_t length) {
  if (type < 1 || type > 4 || type == 2 || length % kBytes != 0) return false;
  const __m128i low_byte = _mm_set1_epi16(0xFF);
  __m128i left = _mm_setzero_si128();
  __m128i upper_left = _mm_setzero_si128();
  for (std::size_t i = 0; i < length; i += kBytes) {
    const __m128i raw = LoadPixel<kBytes>(row + i);
    __m128i predicted;
    if (type == 1) {
      predicted = left;
    } else if (type == 3) {
      predicted = _mm_srli_epi16(_mm_add_epi16(LoadPixel<kBytes>(prior + i), left), 1);
    } else {
      const __m128i above = LoadPixel<kBytes>(prior + i);
      const __m128i pa_signed = _mm_sub_epi16(above, upper_left);
      const __m128i pb_signed = _mm_sub_epi16(left, upper_left);
      const __m128i pa = Abs16(pa_signed);
      const __m128i pb = Abs16(pb_signed);
      const __m128i pc = Abs16(_mm_add_epi16(pa_signed, pb_signed));
      // upper left, unless above is nearer (pb <= pc), unless left is nearest of all
      const __m128i take_above = _mm_cmpgt_epi16(_mm_add_epi16(pc, _mm_set1_epi16(1)), pb);
      const __m128i take_left =
          _mm_and_si128(_mm_cmpgt_epi16(_mm_add_epi16(pb, _mm_set1_epi16(1)), pa),
                        _mm_cmpgt_epi16(_mm_add_epi16(pc, _mm_set1_epi16(1)), pa));
      predicted = Select(take_left, left, Select(take_above, above, upper_left));
      upper_left = above;
    }
    left = _mm_and_si128(_mm_add_epi16(raw, predicted), low_byte);
    StorePixel<kBytes>(row + i, left);
  }
  return true;
}

#endif

}  // namespace

void ReverseFilter(std::uint8_t type, std::uint8_t* row, const std::uint8_t* prior,
                   std::size_t length, std::size_t stride) {
#if defined(__SSE2__)
  if (HasCpuFeature(CpuFeature::kSse2)) {
    if (type == 2) return ReverseUp(row, prior, length);
    if (stride == 3 && ReversePixelwise<3>(type, row, prior, length)) return;
    if (stride == 4 && ReversePixelwise<4>(type, row, prior, length)) return;
  }
#endif
  ReverseBytewise(type, row, prior, length, stride);
}

}  // namespace quillamar::png::detail
