// Reversal of the five PNG row filters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillamar::png::detail {

/// Reverses filter type on row (length data bytes, after the filter byte) against the previous
/// row prior; stride is the bytes per complete pixel (at least 1). Types above 4 leave the row as
/// stored. Both buffers must be readable for kFilterSlack bytes past length.
inline constexpr std::size_t kFilterSlack = 4;

void ReverseFilter(std::uint8_t type, std::uint8_t* row, const std::uint8_t* prior,
                   std::size_t length, std::size_t stride);

/// The Paeth predictor of the PNG format.
inline int Paeth(int left, int above, int upper_left) {
  const int pa = above > upper_left ? above - upper_left : upper_left - above;
  const int pb = left > upper_left ? left - upper_left : upper_left - left;
  const int pc_signed = left + above - 2 * upper_left;
  const int pc = pc_signed < 0 ? -pc_signed : pc_signed;
  if (pa <= pb && pa <= pc) return left;
  return pb <= pc ? above : upper_left;
}

}  // namespace quillamar::png::detail
