// The test-side PNG writer.
#include "tests/png/png_builder.h"

#include <zlib.h>

#include <stdexcept>

namespace quillamar::png::testing {

std::string Deflate(std::string_view raw, int level) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                level) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

std::string BigEndian(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::uint32_t ReferenceCrc(std::string_view type, std::string_view data) {
  // zlib's, independent of the reader's
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), type.size());
  return crc32(crc, reinterpret_cast<const Bytef*>(data.data()), data.size());
}

PngBuilder::PngBuilder() : bytes_("\x89PNG\r\n\x1a\n", 8) {}

PngBuilder& PngBuilder::Chunk(std::string_view type, std::string_view data) {
  return ChunkWithCrc(type, data, ReferenceCrc(type, data));
}

PngBuilder& PngBuilder::ChunkWithCrc(std::string_view type, std::string_view data,
                                     std::uint32_t crc) {
  bytes_ += BigEndian(static_cast<std::uint32_t>(data.size()));
  bytes_ += type;
  bytes_ += data;
  bytes_ += BigEndian(crc);
  return *this;
}

PngBuilder& PngBuilder::Ihdr(std::uint32_t width, std::uint32_t height, int bit_depth,
                             int color_type, int interlace, int compression) {
  std::string data = BigEndian(width) + BigEndian(height);
  data += static_cast<char>(bit_depth);
  data += static_cast<char>(color_type);
  data += static_cast<char>(compression);
  data += '\0';
  data += static_cast<char>(interlace);
  return Chunk("IHDR", data);
}

PngBuilder& PngBuilder::Idat(std::string_view zlib, std::size_t piece) {
  if (piece == 0) return Chunk("IDAT", zlib);
  for (std::size_t at = 0; at < zlib.size(); at += piece) Chunk("IDAT", zlib.substr(at, piece));
  return *this;
}

PngBuilder& PngBuilder::Raw(std::string_view bytes) {
  bytes_ += bytes;
  return *this;
}

std::string ChunkBytes(std::string_view type, std::string_view data) {
  return BigEndian(static_cast<std::uint32_t>(data.size())) + std::string(type) +
         std::string(data) + BigEndian(ReferenceCrc(type, data));
}

BytesStream::BytesStream(std::string_view bytes) {
  Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  SetPosition(0);
}

void ReadBytes(TPNGObject& image, std::string_view bytes, const ReadOptions& options) {
  BytesStream stream(bytes);
  image.ReadImage(stream, options);
}

std::vector<std::uint8_t> StorageRow(const TPNGObject& image, int y) {
  const std::uint8_t* row = image.RowAddress(y);
  return {row, row + image.HeaderChunk().RowStride()};
}

}  // namespace quillamar::png::testing
