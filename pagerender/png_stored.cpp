// Intermediate pages: a PNG whose image data are stored deflate blocks, written without libpng.
// Each row is copied once, into large IDAT chunks; the CRC and the Adler-32 come from the
// checksum library, which takes them 16 and 32 bytes at a time.
#include "pagerender/png_stored.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "checksum/checksum.h"

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

namespace quillamar::pagerender {
namespace {

constexpr std::size_t kChunkData = std::size_t{1} << 18;  // IDAT data per chunk
constexpr std::size_t kStoredBlock = 65535;               // the most one stored block holds
constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Deflate with a 32 KiB window, fastest level; the check bits make it a multiple of 31.
constexpr unsigned char kZlibHeader[2] = {0x78, 0x01};

void PutBigEndian(unsigned char* at, std::uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 24);
  at[1] = static_cast<unsigned char>(value >> 16);
  at[2] = static_cast<unsigned char>(value >> 8);
  at[3] = static_cast<unsigned char>(value);
}

std::uint32_t ChunkCrc(const unsigned char* type_and_data, std::size_t length) {
  return checksum::Crc32Update(0xFFFFFFFFu, type_and_data, length) ^ 0xFFFFFFFFu;
}

// The file as it is written: small chunks at once, the image data through one chunk buffer
// laid out as length, type, data and CRC, so that each IDAT chunk goes out in one write.
class StoredPngFile {
 public:
  StoredPngFile(int fd, std::uint64_t stream_bytes)
      : fd_(fd),
        stream_left_(stream_bytes),
        chunk_(std::make_unique_for_overwrite<unsigned char[]>(kChunkData + 12)) {}

  bool WriteHead(const Raster& raster, bool grey, double dpi) {
    unsigned char header[13] = {};
    PutBigEndian(header, static_cast<std::uint32_t>(raster.width));
    PutBigEndian(header + 4, static_cast<std::uint32_t>(raster.height));
    header[8] = 8;             // bits per sample
    header[9] = grey ? 0 : 2;  // colour type; compression, filter and interlace methods stay 0
    unsigned char physical[9] = {};
    const auto per_metre = static_cast<std::uint32_t>(std::lround(dpi / 0.0254));
    PutBigEndian(physical, per_metre);
    PutBigEndian(physical + 4, per_metre);
    physical[8] = 1;  // the unit is the metre
    return WriteAll(fd_, kSignature, sizeof kSignature) && WriteChunk("IHDR", header, 13) &&
           WriteChunk("pHYs", physical, 9) && PutFraming(kZlibHeader, sizeof kZlibHeader);
  }

  // Bytes of the filtered rows, into stored blocks.
  bool Put(const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
      if (block_left_ == 0 && !OpenBlock()) return false;
      const std::size_t n = std::min({count, block_left_, kChunkData - used_});
      if (n == 0) {
        if (!FlushChunk()) return false;
        continue;
      }
      std::memcpy(chunk_.get() + 8 + used_, bytes, n);
      adler_ = checksum::Adler32Update(adler_, bytes, n);
      used_ += n;
      bytes += n;
      count -= n;
      block_left_ -= n;
    }
    return true;
  }

  bool Finish() {
    unsigned char check[4];
    PutBigEndian(check, adler_);
    return PutFraming(check, sizeof check) && FlushChunk() && WriteChunk("IEND", nullptr, 0);
  }

 private:
  bool WriteChunk(const char* type, const unsigned char* data, std::size_t length) {
    unsigned char chunk[12 + 13];  // the largest small chunk is the header
    PutBigEndian(chunk, static_cast<std::uint32_t>(length));
    std::memcpy(chunk + 4, type, 4);
    if (length > 0) std::memcpy(chunk + 8, data, length);
    PutBigEndian(chunk + 8 + length, ChunkCrc(chunk + 4, 4 + length));
    return WriteAll(fd_, chunk, 12 + length);
  }

  // Zlib bytes outside the stored data (header, block headers, check value).
  bool PutFraming(const unsigned char* bytes, std::size_t count) {
    if (used_ + count > kChunkData && !FlushChunk()) return false;
    std::memcpy(chunk_.get() + 8 + used_, bytes, count);
    used_ += count;
    return true;
  }

  bool OpenBlock() {
    const auto length =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(stream_left_, kStoredBlock));
    stream_left_ -= length;
    block_left_ = length;
    const unsigned char block[5] = {
        static_cast<unsigned char>(stream_left_ == 0 ? 1 : 0),  // last block?, type 0: stored
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(~length), static_cast<unsigned char>(~length >> 8)};
    return PutFraming(block, sizeof block);
  }

  bool FlushChunk() {
    if (used_ == 0) return true;
    unsigned char* chunk = chunk_.get();
    PutBigEndian(chunk, static_cast<std::uint32_t>(used_));
    std::memcpy(chunk + 4, "IDAT", 4);
    PutBigEndian(chunk + 8 + used_, ChunkCrc(chunk + 4, 4 + used_));
    const bool written = WriteAll(fd_, chunk, 12 + used_);
    used_ = 0;
    return written;
  }

  const int fd_;
  std::uint64_t stream_left_;  // filtered row bytes not yet given a block
  std::size_t block_left_ = 0;
  std::size_t used_ = 0;  // data bytes in the chunk buffer
  std::uint32_t adler_ = 1;
  std::unique_ptr<unsigned char[]> chunk_;
};

bool TakeGreyPixels(const unsigned char* pixels, int count, unsigned char* grey) noexcept {
  unsigned differences = 0;
  for (int x = 0; x < count; ++x, pixels += 3) {
    differences |= (pixels[0] ^ pixels[1]) | (pixels[1] ^ pixels[2]);
    grey[x] = pixels[0];
  }
  return differences == 0;
}

#if defined(__x86_64__)

#define QUILLAMAR_SSSE3 __attribute__((target("ssse3")))

// Sixteen pixels (48 bytes) at a time while one more pixel follows them (each byte is read with
// the next): the red-green and green-blue pairs are compared and the reds gathered. Returns the
// pixels done; coloured tells whether any of them is not grey.
QUILLAMAR_SSSE3 int TakeGreyBlocks(const unsigned char* pixels, int width, unsigned char* grey,
                                   bool& coloured) noexcept {
  const auto load = [](const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  const __m128i inside0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 0, -1, -1, 0, -1, -1, 0, -1, -1, 0, -1);
  const __m128i inside1 = _mm_setr_epi8(-1, 0, -1, -1, 0, -1, -1, 0, -1, -1, 0, -1, -1, 0, -1, -1);
  const __m128i inside2 = _mm_setr_epi8(0, -1, -1, 0, -1, -1, 0, -1, -1, 0, -1, -1, 0, -1, -1, 0);
  const __m128i reds0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i reds1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
  const __m128i reds2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
  __m128i differences = _mm_setzero_si128();
  int x = 0;
  for (; x + 16 < width; x += 16, pixels += 48) {
    const __m128i v0 = load(pixels);
    const __m128i v1 = load(pixels + 16);
    const __m128i v2 = load(pixels + 32);
    differences =
        _mm_or_si128(differences, _mm_and_si128(_mm_xor_si128(v0, load(pixels + 1)), inside0));
    differences =
        _mm_or_si128(differences, _mm_and_si128(_mm_xor_si128(v1, load(pixels + 17)), inside1));
    differences =
        _mm_or_si128(differences, _mm_and_si128(_mm_xor_si128(v2, load(pixels + 33)), inside2));
    const __m128i reds =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v0, reds0), _mm_shuffle_epi8(v1, reds1)),
                     _mm_shuffle_epi8(v2, reds2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(grey + x), reds);
  }
  coloured = _mm_movemask_epi8(_mm_cmpeq_epi8(differences, _mm_setzero_si128())) != 0xFFFF;
  return x;
}

bool HasSsse3() {
  static const bool kHas = __builtin_cpu_supports("ssse3");
  return kHas;
}

#endif

Encoding WriteRows(StoredPngFile& file, const Raster& raster, bool grey) {
  const std::size_t row_bytes = static_cast<std::size_t>(raster.width) * (grey ? 1 : 3);
  std::vector<unsigned char> row(row_bytes + 1, 0);  // the filter byte first: none
  for (int y = 0; y < raster.height; ++y) {
    if (grey) {
      if (!TakeGreyRow(raster.Row(y), raster.width, row.data() + 1)) return Encoding::kNotGrey;
      if (!file.Put(row.data(), row.size())) return Encoding::kFailed;
    } else if (!file.Put(row.data(), 1) || !file.Put(raster.Row(y), row_bytes)) {
      return Encoding::kFailed;
    }
  }
  return file.Finish() ? Encoding::kDone : Encoding::kFailed;
}

}  // namespace

bool WriteAll(int fd, const unsigned char* data, std::size_t length) noexcept {
  while (length > 0) {
    const ssize_t put = ::write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    length -= static_cast<std::size_t>(put);
  }
  return true;
}

bool TakeGreyRow(const unsigned char* pixels, int width, unsigned char* grey) noexcept {
  int x = 0;
  bool coloured = false;
#if defined(__x86_64__)
  if (HasSsse3()) x = TakeGreyBlocks(pixels, width, grey, coloured);
#endif
  return !coloured && TakeGreyPixels(pixels + 3 * x, width - x, grey + x);
}

Encoding WriteStoredPng(int fd, const Raster& raster, bool grey, double dpi, int& write_errno) {
  const std::uint64_t stream_bytes =
      static_cast<std::uint64_t>(raster.height) *
      (1 + static_cast<std::uint64_t>(raster.width) * (grey ? 1 : 3));
  StoredPngFile file(fd, stream_bytes);
  errno = 0;
  Encoding result =
      file.WriteHead(raster, grey, dpi) ? WriteRows(file, raster, grey) : Encoding::kFailed;
  if (result == Encoding::kFailed) write_errno = errno != 0 ? errno : EIO;
  return result;
}

}  // namespace quillamar::pagerender
