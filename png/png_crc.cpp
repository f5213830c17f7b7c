// The chunk CRC, computed by the checksum library.
#include "checksum/checksum.h"
#include "png/png_object.h"

namespace quillamar::png {

std::uint32_t Crc32TableEntry(std::uint8_t n) { return checksum::Crc32TableEntry(n); }

std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count) {
  return checksum::Crc32Update(crc, bytes, count);
}

}  // namespace quillamar::png
