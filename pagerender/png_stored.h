// The parts of the PNG writer that both of its ways share: the grey test of a row, and the way
// for intermediate pages (stored deflate blocks, written without libpng).
#pragma once

#include <cstddef>

#include "pagerender/pdf_document.h"

namespace quillamar::pagerender {

/// How one attempt at a PNG file ended; kNotGrey: a page written as grey has a coloured row.
enum class Encoding { kDone, kFailed, kNotGrey };

/// One grey sample per pixel of an RGB row into grey; true when every pixel of the row is grey
/// (equal red, green and blue).
bool TakeGreyRow(const unsigned char* pixels, int width, unsigned char* grey) noexcept;

/// Writes the raster as PNG with unfiltered rows in stored deflate blocks (colour type 0 when
/// grey, else 2; bit depth 8, not interlaced, with its resolution) to fd from its current
/// position. A grey page that has a coloured row ends there with kNotGrey; on kFailed,
/// write_errno holds the file's error (0 when memory ran out).
Encoding WriteStoredPng(int fd, const Raster& raster, bool grey, double dpi, int& write_errno);

}  // namespace quillamar::pagerender
