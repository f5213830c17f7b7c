// Row converters: 16-bit samples keep their high byte, 2-bit samples widen to 4 bits, colour goes
// through the gamma map into blue-green-red, alpha goes to its own plane.
#include "png/png_convert.h"

#include <cstring>

#include "framework/cpu.h"
#include "png/png_internal.h"

namespace quillamar::png::detail {

#if defined(__x86_64__)
namespace {

// Five pixels per 16-byte shuffle. Each store writes one byte of the next pixel too, so the loop
// stops while a whole 16 bytes still lie inside the row (the next row in memory is already
// written). Returns how many pixels it did.
QUILLAMAR_SSSE3 std::uint32_t SwapRedBlueByShuffle(const std::uint8_t* source,
                                                   std::uint8_t* destination, std::uint32_t count) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  std::uint32_t k = 0;
  for (; k + 6 <= count; k += 5) {
    const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 3 * k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + 3 * k),
                     _mm_shuffle_epi8(pixels, order));
  }
  return k;
}

}  // namespace
#endif

// Two pixels per 8-byte word: red and blue trade places, green stays. The word reads two bytes
// ahead, so the last pixels go one by one. Each piece is read whole before it is written, so the
// swap may work in place.
void SwapRedBlue(const std::uint8_t* source, std::uint8_t* destination, std::uint32_t count) {
  std::uint32_t k = 0;
#if defined(__x86_64__)
  if (HasCpuFeature(CpuFeature::kSsse3)) k = SwapRedBlueByShuffle(source, destination, count);
#endif
  for (; k + 3 <= count; k += 2) {
    std::uint64_t word;
    std::memcpy(&word, source + std::size_t{k} * 3, sizeof word);
    const std::uint64_t swapped = (word & 0x000000FF0000FF00u) |
                                  ((word >> 16) & 0x00000000FF0000FFu) |
                                  ((word << 16) & 0x0000FF0000FF0000u);
    std::memcpy(destination + std::size_t{k} * 3, &swapped, 6);
  }
  for (; k < count; ++k) {
    const std::uint8_t red = source[3 * k];
    destination[3 * k] = source[3 * k + 2];
    destination[3 * k + 1] = source[3 * k + 1];
    destination[3 * k + 2] = red;
  }
}

namespace {

/// The image columns a row's pixels belong to.
struct Columns {
  std::uint32_t first;
  std::uint32_t step;
  std::uint32_t count;
};

using ColumnWriter = void (*)(const ConvertContext&, Columns, const std::uint8_t*, std::uint8_t*,
                              std::uint8_t*);

template <int kSampleBytes, bool kAlpha, bool kGamma>
void WriteColour(const ConvertContext& context, Columns columns, const std::uint8_t* source,
                 std::uint8_t* destination, std::uint8_t* alpha) {
  constexpr int kPixelBytes = kSampleBytes * (kAlpha ? 4 : 3);
  const GammaTable& gamma = *context.gamma;
  for (std::uint32_t k = 0; k < columns.count; ++k) {
    const std::uint8_t* pixel = source + std::size_t{k} * kPixelBytes;
    const std::uint32_t x = columns.first + k * columns.step;
    std::uint8_t* out = destination + std::size_t{x} * 3;
    const std::uint8_t red = pixel[0];
    const std::uint8_t green = pixel[kSampleBytes];
    const std::uint8_t blue = pixel[2 * kSampleBytes];
    out[0] = kGamma ? gamma[blue] : blue;
    out[1] = kGamma ? gamma[green] : green;
    out[2] = kGamma ? gamma[red] : red;
    if constexpr (kAlpha) alpha[x] = pixel[3 * kSampleBytes];
  }
}

// Red-green-blue (and alpha) into blue-green-red; the identity gamma map is skipped.
template <int kSampleBytes, bool kAlpha>
void WriteRgb(const ConvertContext& context, Columns columns, const std::uint8_t* source,
              std::uint8_t* destination, std::uint8_t* alpha) {
  if constexpr (kSampleBytes == 1 && !kAlpha) {
    if (context.gamma_identity && columns.step == 1) {
      return SwapRedBlue(source, destination + std::size_t{columns.first} * 3, columns.count);
    }
  }
  if (context.gamma_identity) {
    WriteColour<kSampleBytes, kAlpha, false>(context, columns, source, destination, alpha);
  } else {
    WriteColour<kSampleBytes, kAlpha, true>(context, columns, source, destination, alpha);
  }
}

// Grey and alpha: the grey (high) byte becomes the index, the alpha (high) byte goes to the plane.
template <int kSampleBytes>
void WriteGreyAlpha(const ConvertContext&, Columns columns, const std::uint8_t* source,
                    std::uint8_t* destination, std::uint8_t* alpha) {
  for (std::uint32_t k = 0; k < columns.count; ++k) {
    const std::uint8_t* pixel = source + std::size_t{k} * 2 * kSampleBytes;
    const std::uint32_t x = columns.first + k * columns.step;
    destination[x] = pixel[0];
    alpha[x] = pixel[kSampleBytes];
  }
}

// 16-bit grey: the high byte becomes the index.
void WriteGrey16(const ConvertContext&, Columns columns, const std::uint8_t* source,
                 std::uint8_t* destination, std::uint8_t*) {
  for (std::uint32_t k = 0; k < columns.count; ++k) {
    destination[columns.first + k * columns.step] = source[std::size_t{k} * 2];
  }
}

// Packed samples placed one by one at their columns, combined with the zeroed storage by "or".
// 2-bit samples take 4-bit places; a 2-bit grey value v becomes 5·v.
template <int kDepth, bool kGrey>
void PlacePacked(const ConvertContext&, Columns columns, const std::uint8_t* source,
                 std::uint8_t* destination, std::uint8_t*) {
  constexpr std::uint32_t kStored = kDepth == 2 ? 4 : kDepth;
  constexpr std::uint32_t kMask = (1u << kDepth) - 1;
  for (std::uint32_t k = 0; k < columns.count; ++k) {
    const std::uint32_t bit = k * kDepth;
    std::uint32_t value = (source[bit / 8] >> (8 - kDepth - bit % 8)) & kMask;
    if (kDepth == 2 && kGrey) value *= 5;
    const std::uint32_t place = (columns.first + k * columns.step) * kStored;
    destination[place / 8] |= static_cast<std::uint8_t>(value << (8 - kStored - place % 8));
  }
}

// Packed rows of depth 1, 4 and 8 are stored as they come.
void CopyPacked(const ConvertContext& context, const std::uint8_t* source,
                std::uint8_t* destination, std::uint8_t*) {
  std::memcpy(destination, source, context.row_bytes);
}

// Each 2-bit source byte (samples a, b, c, d) gives the 4-bit bytes ab and cd.
template <bool kGrey>
void WidenTwoBit(const ConvertContext& context, const std::uint8_t* source,
                 std::uint8_t* destination, std::uint8_t*) {
  const std::uint32_t out_bytes = (context.width * 4 + 7) / 8;
  constexpr std::uint32_t kScale = kGrey ? 5 : 1;
  for (std::uint32_t o = 0; o < out_bytes; ++o) {
    const std::uint32_t pair = source[o / 2] >> ((o % 2 == 0) ? 4 : 0);
    const std::uint32_t high = ((pair >> 2) & 3) * kScale;
    const std::uint32_t low = (pair & 3) * kScale;
    destination[o] = static_cast<std::uint8_t>((high << 4) | low);
  }
}

template <ColumnWriter kWrite>
void Sequential(const ConvertContext& context, const std::uint8_t* source,
                std::uint8_t* destination, std::uint8_t* alpha) {
  kWrite(context, Columns{0, 1, context.width}, source, destination, alpha);
}

template <ColumnWriter kWrite>
void Interlaced(const ConvertContext& context, int pass, const std::uint8_t* source,
                std::uint8_t* destination, std::uint8_t* alpha) {
  const PassGeometry& geometry = Adam7Passes[static_cast<std::size_t>(pass)];
  const Columns columns{static_cast<std::uint32_t>(geometry.first_column),
                        static_cast<std::uint32_t>(geometry.column_step),
                        PassWidth(geometry, context.width)};
  kWrite(context, columns, source, destination, alpha);
}

/// Both forms of the converter for one colour type and depth.
struct ConverterPair {
  SequentialConverter sequential;
  InterlacedConverter interlaced;
};

template <ColumnWriter kWrite>
constexpr ConverterPair PixelWise() {
  return {&Sequential<kWrite>, &Interlaced<kWrite>};
}

ConverterPair PickPacked(std::uint8_t bit_depth, bool grey) {
  switch (bit_depth) {
    case 1:
      return {&CopyPacked,
              grey ? &Interlaced<PlacePacked<1, true>> : &Interlaced<PlacePacked<1, false>>};
    case 2:
      return grey ? ConverterPair{&WidenTwoBit<true>, &Interlaced<PlacePacked<2, true>>}
                  : ConverterPair{&WidenTwoBit<false>, &Interlaced<PlacePacked<2, false>>};
    case 4:
      return {&CopyPacked, &Interlaced<PlacePacked<4, true>>};
    case 8:
      return {&CopyPacked, &Interlaced<PlacePacked<8, true>>};
    default:
      return {nullptr, nullptr};
  }
}

ConverterPair PickConverters(std::uint8_t color_type, std::uint8_t bit_depth) {
  const bool wide = bit_depth == 16;
  if (bit_depth != 8 && !wide && color_type != 0 && color_type != 3) return {nullptr, nullptr};
  switch (color_type) {
    case 0:
      return wide ? PixelWise<WriteGrey16>() : PickPacked(bit_depth, /*grey=*/true);
    case 3:
      return PickPacked(bit_depth, /*grey=*/false);
    case 2:
      return wide ? PixelWise<WriteRgb<2, false>>() : PixelWise<WriteRgb<1, false>>();
    case 4:
      return wide ? PixelWise<WriteGreyAlpha<2>>() : PixelWise<WriteGreyAlpha<1>>();
    case 6:
      return wide ? PixelWise<WriteRgb<2, true>>() : PixelWise<WriteRgb<1, true>>();
    default:
      return {nullptr, nullptr};
  }
}

}  // namespace

SequentialConverter PickSequentialConverter(std::uint8_t color_type, std::uint8_t bit_depth) {
  return PickConverters(color_type, bit_depth).sequential;
}

InterlacedConverter PickInterlacedConverter(std::uint8_t color_type, std::uint8_t bit_depth) {
  return PickConverters(color_type, bit_depth).interlaced;
}

void GreyRamp(TChunkIHDR& header, const GammaTable& gamma) {
  if (header.ColorType() != 0 && header.ColorType() != 4) return;
  if (!header.Indexed()) return;
  const int levels = 1 << header.DibInfo().header.bit_count;
  for (int i = 0; i < levels; ++i) {
    const std::uint8_t grey = gamma[static_cast<std::size_t>(i * 255 / (levels - 1))];
    header.DibInfo().colors[static_cast<std::size_t>(i)] = {grey, grey, grey, 0};
  }
}

}  // namespace quillamar::png::detail
