// Laying a painted page on its white paper.
#pragma once

namespace quillamar::pagerender {

/// Lays one row of red-green-blue pixels, painted with the coverage in alpha (a byte a pixel), on
/// white paper, with the painter's own arithmetic: coverage 0 leaves white, 255 the paint, and
/// anything between the paint and the white mixed by it. The coverage is then full (or, for
/// untouched white paper, left as it was), so the row is laid once however often this is called.
void LayRowOnWhitePaper(unsigned char* pixels, unsigned char* alpha, int width) noexcept;

}  // namespace quillamar::pagerender
