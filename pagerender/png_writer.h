// Encodes a rendered page as an 8-bit RGB PNG onto an open file descriptor.
#pragma once

#include "framework/result.h"
#include "pagerender/pagerender.h"
#include "pagerender/pdf_document.h"

namespace quillamar::pagerender {

/// Compression of one PNG: zlib level and strategy, and the row filters libpng may choose from.
struct PngSettings {
  int level = 1;
  int strategy = 0;  ///< a zlib strategy (Z_DEFAULT_STRATEGY is 0)
  int filters = 0;   ///< PNG_FILTER_* bits; 0 or PNG_FILTER_NONE alone: rows unfiltered
  /// One grey sample per pixel (colour type 0) if every pixel is grey: tested while the rows are
  /// written, and the page is written again in colour at its first coloured row.
  bool grey = false;
};

/// The settings for this page: stored blocks for an intermediate page (level 1 for a huge page of
/// mostly flat colour written alone into a new file, which it shrinks faster than fresh page cache
/// could take it uncompressed; beside other pages, the total work counts), tried as grey (a
/// third of the size, the reader gives back the same colours) unless a sample of its rows shows
/// colour and written again in colour when a row does; for a kept page a fast level, with row
/// filtering only when the page looks like a photograph (where it pays).
PngSettings ChoosePngSettings(const Raster& raster, PngMode mode, bool alone_into_new_file);

/// Writes the raster as PNG (colour type 2, or 0 when the settings say grey and every pixel is;
/// bit depth 8, not interlaced, with its resolution) to fd, which stays open and must be a
/// regular file at its start (a second attempt empties it). Fails with the system's error text
/// for a failed write, or with what went wrong in the encoding.
Status WritePng(int fd, const Raster& raster, const PngSettings& settings, double dpi);

}  // namespace quillamar::pagerender
