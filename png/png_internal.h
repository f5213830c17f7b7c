// Helpers shared by the reader's source files; not part of the folder's door.
#pragma once

#include <cstdint>
#include <memory>

#include "png/png_crc.h"
#include "png/png_object.h"

namespace quillamar::png::detail {

inline constexpr ChunkTypeBytes MakeType(const char (&text)[5]) {
  return {static_cast<std::uint8_t>(text[0]), static_cast<std::uint8_t>(text[1]),
          static_cast<std::uint8_t>(text[2]), static_cast<std::uint8_t>(text[3])};
}

inline constexpr ChunkTypeBytes kTypeIHDR = MakeType("IHDR");
inline constexpr ChunkTypeBytes kTypeIDAT = MakeType("IDAT");
inline constexpr ChunkTypeBytes kTypeIEND = MakeType("IEND");
inline constexpr ChunkTypeBytes kTypeCHRM = MakeType("cHRM");

/// The CRC of a chunk: complemented register over its type and data.
inline std::uint32_t ChunkCrc(const ChunkTypeBytes& type, const std::uint8_t* data,
                              std::size_t count) {
  return Crc32Update(Crc32Update(0xFFFFFFFFu, type.data(), type.size()), data, count) ^ 0xFFFFFFFFu;
}

/// Storage bits per pixel for a colour type and bit depth; 0 when no PNG has that combination.
int StorageBitsFor(std::uint8_t color_type, std::uint8_t bit_depth);

/// Zeroed memory of the given size; EOutOfMemory when it cannot be had.
std::shared_ptr<std::uint8_t[]> AllocateZeroed(std::uint64_t bytes);

}  // namespace quillamar::png::detail
