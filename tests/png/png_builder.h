// Builds PNG files byte by byte for the reader's tests, with correct or deliberately wrong framing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framework/streams.h"
#include "png/png_crc.h"
#include "png/png_object.h"

namespace quillamar::png::testing {

/// A zlib stream of the bytes at a compression level (0 gives stored blocks).
std::string Deflate(std::string_view raw, int level = 6);
/// Four bytes big-endian.
std::string BigEndian(std::uint32_t value);
/// The CRC of a chunk over its type and data.
std::uint32_t ReferenceCrc(std::string_view type, std::string_view data);

/// A PNG file under construction: starts with the signature.
class PngBuilder {
 public:
  PngBuilder();

  /// A chunk with the right length and CRC.
  PngBuilder& Chunk(std::string_view type, std::string_view data);
  /// A chunk whose stored CRC is given.
  PngBuilder& ChunkWithCrc(std::string_view type, std::string_view data, std::uint32_t crc);
  /// A header chunk.
  PngBuilder& Ihdr(std::uint32_t width, std::uint32_t height, int bit_depth, int color_type,
                   int interlace = 0, int compression = 0);
  /// The whole zlib stream in IDAT chunks of at most piece bytes (0: one chunk).
  PngBuilder& Idat(std::string_view zlib, std::size_t piece = 0);
  PngBuilder& Iend() { return Chunk("IEND", ""); }
  /// Any bytes as they are.
  PngBuilder& Raw(std::string_view bytes);

  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

/// One chunk's bytes (length, type, data, right CRC), to put between others.
std::string ChunkBytes(std::string_view type, std::string_view data);

/// A stream holding the bytes, positioned at the start.
class BytesStream : public TMemoryStream {
 public:
  explicit BytesStream(std::string_view bytes);
};

/// Reads the bytes into the image; exceptions pass on.
void ReadBytes(TPNGObject& image, std::string_view bytes, const ReadOptions& options = {});

/// The storage bytes of image row y (RowStride bytes).
std::vector<std::uint8_t> StorageRow(const TPNGObject& image, int y);

}  // namespace quillamar::png::testing
