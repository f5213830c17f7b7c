// The CRC-32 that guards every chunk: the standard polynomial, folded 16 or 32 bytes at a time
// where the processor can.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillamar::png {

/// The CRC register after the bytes; start with 0xFFFFFFFF and complement the result.
std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count);
/// Entry n of the CRC table (built on first use).
std::uint32_t Crc32TableEntry(std::uint8_t n);

}  // namespace quillamar::png
