// The two checksums of a PNG file: the chunk CRC and the zlib stream's Adler-32, both fast over
// the long runs of image data that the renderer writes and the reader checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillamar::checksum {

/// The CRC register (polynomial 0xEDB88320) after the bytes; start with 0xFFFFFFFF and
/// complement the result.
std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count);
/// Entry n of the CRC table.
std::uint32_t Crc32TableEntry(std::uint8_t n);

/// The Adler-32 sum after the bytes; start with 1.
std::uint32_t Adler32Update(std::uint32_t adler, const std::uint8_t* bytes, std::size_t count);

}  // namespace quillamar::checksum
