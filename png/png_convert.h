// Row converters: one reconstructed PNG row into the image storage, and the grey ramp.
#pragma once

#include <array>
#include <cstdint>

#include "png/png_object.h"

namespace quillamar::png::detail {

/// One pass of the seven-pass interlace.
struct PassGeometry {
  int first_row;
  int first_column;
  int row_step;
  int column_step;
};

inline constexpr std::array<PassGeometry, 7> Adam7Passes = {{{0, 0, 8, 8},
                                                             {0, 4, 8, 8},
                                                             {4, 0, 8, 4},
                                                             {0, 2, 4, 4},
                                                             {2, 0, 4, 2},
                                                             {0, 1, 2, 2},
                                                             {1, 0, 2, 1}}};

/// Pixels in a row of the pass for an image width.
inline std::uint32_t PassWidth(const PassGeometry& pass, std::uint32_t width) {
  const auto first = static_cast<std::uint32_t>(pass.first_column);
  const auto step = static_cast<std::uint32_t>(pass.column_step);
  return width > first ? (width - first + step - 1) / step : 0;
}

/// What every converter needs besides the row: the image width, the bytes of a whole filtered row
/// and the gamma map (with a note whether it is the identity).
struct ConvertContext {
  std::uint32_t width = 0;
  std::uint32_t row_bytes = 0;
  const GammaTable* gamma = nullptr;
  bool gamma_identity = true;
};

/// Writes one image row: source data (after the filter byte), destination storage row, alpha row.
using SequentialConverter = void (*)(const ConvertContext& context, const std::uint8_t* source,
                                     std::uint8_t* destination, std::uint8_t* alpha);
/// Writes the pixels of one pass row at their own columns of the destination row.
using InterlacedConverter = void (*)(const ConvertContext& context, int pass,
                                     const std::uint8_t* source, std::uint8_t* destination,
                                     std::uint8_t* alpha);

/// The converter for a colour type and bit depth; null for a combination without one.
SequentialConverter PickSequentialConverter(std::uint8_t color_type, std::uint8_t bit_depth);
InterlacedConverter PickInterlacedConverter(std::uint8_t color_type, std::uint8_t bit_depth);

/// Red-green-blue pixels side by side into blue-green-red, or back; source and destination may
/// be the same row.
void SwapRedBlue(const std::uint8_t* source, std::uint8_t* destination, std::uint32_t count);

/// Fills the colour table of a grey image (colour types 0 and 4) with evenly spaced grey levels
/// passed through the gamma map; does nothing for other colour types.
void GreyRamp(TChunkIHDR& header, const GammaTable& gamma);

}  // namespace quillamar::png::detail
