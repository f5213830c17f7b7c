// Numbers stored big-endian, as PNG files and their chunks hold them. Header-only.
#pragma once

#include <cstdint>

namespace quillamar {

/// The four bytes at `bytes` as a big-endian number.
inline std::uint32_t LoadBigEndian32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

/// Writes value into the four bytes at `bytes`, most significant first.
inline void StoreBigEndian32(std::uint8_t* bytes, std::uint32_t value) {
  bytes[0] = static_cast<std::uint8_t>(value >> 24);
  bytes[1] = static_cast<std::uint8_t>(value >> 16);
  bytes[2] = static_cast<std::uint8_t>(value >> 8);
  bytes[3] = static_cast<std::uint8_t>(value);
}

}  // namespace quillamar
