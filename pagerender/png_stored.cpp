// Intermediate pages: a PNG whose image data zlib writes as stored deflate blocks (no
// compression), written without libpng. The rows go through deflate into large IDAT chunks; the
// file goes out in writes of 256 KiB that start and end on multiples of that size.
#include "pagerender/png_stored.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/bytes.h"
#include "framework/cpu.h"
#include "framework/system_calls.h"

namespace quillamar::pagerender {
namespace {

// Each write but the last covers one aligned 256 KiB of the file: the page cache then holds the
// file in large folios, which makes writing, reading and deleting it markedly cheaper than
// writes that straddle the boundaries.
constexpr std::size_t kWriteSize = std::size_t{1} << 18;
constexpr std::size_t kChunkFrame = 12;  // length, type and CRC of a chunk
constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// libdeflate folds long runs with carry-less multiplies: several times the speed of a table walk,
// over every byte of every page.
std::uint32_t ChunkCrc(const unsigned char* type_and_data, std::size_t length) {
  return libdeflate_crc32(0, type_and_data, length);
}

bool WriteWhole(int fd, const unsigned char* bytes, std::size_t length) {
  return WriteAll(fd, bytes, length) == length;
}

// The file as it is written, through one buffer: the signature and the small chunks first, then
// the image data as IDAT chunks laid out as length, type, data and CRC, each sized so that it
// fills the buffer up to the next write boundary; the last one is followed by IEND.
class StoredPngFile {
 public:
  explicit StoredPngFile(int fd)
      : fd_(fd),
        buffer_(std::make_unique_for_overwrite<unsigned char[]>(kWriteSize + kChunkFrame)) {}
  ~StoredPngFile() {
    if (started_) deflateEnd(&stream_);
  }
  StoredPngFile(const StoredPngFile&) = delete;
  StoredPngFile& operator=(const StoredPngFile&) = delete;

  bool WriteHead(const Raster& raster, bool grey, double dpi) {
    // zlib makes the deflate data; its wrapper is written here (see Put). Stored blocks need no
    // window, and deflate copies every piece of at least the window's size straight into the
    // output, so the smallest window lets each row go in as it lies in the raster.
    if (deflateInit2(&stream_, Z_NO_COMPRESSION, Z_DEFLATED, -kWindowBits, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
      errno = ENOMEM;
      return false;
    }
    started_ = true;
    unsigned char header[13] = {};
    StoreBigEndian32(header, static_cast<std::uint32_t>(raster.width));
    StoreBigEndian32(header + 4, static_cast<std::uint32_t>(raster.height));
    header[8] = 8;             // bits per sample
    header[9] = grey ? 0 : 2;  // colour type; compression, filter and interlace methods stay 0
    unsigned char physical[9] = {};
    const auto per_metre = static_cast<std::uint32_t>(std::lround(dpi / 0.0254));
    StoreBigEndian32(physical, per_metre);
    StoreBigEndian32(physical + 4, per_metre);
    physical[8] = 1;  // the unit is the metre
    std::memcpy(buffer_.get(), kSignature, sizeof kSignature);
    head_ = sizeof kSignature;
    PutSmallChunk("IHDR", header, 13);
    PutSmallChunk("pHYs", physical, 9);
    return Append(kZlibHeader, sizeof kZlibHeader);
  }

  // Bytes of the filtered rows. Their Adler-32, which ends the zlib stream, is libdeflate's: it
  // sums the same bytes about ten times as fast as zlib's own, which deflate would compute.
  bool Put(const unsigned char* bytes, std::size_t count) {
    adler_ = libdeflate_adler32(adler_, bytes, count);
    return Deflate(bytes, count, Z_NO_FLUSH);
  }

  bool Finish() {
    unsigned char adler[4];
    StoreBigEndian32(adler, adler_);
    return Deflate(nullptr, 0, Z_FINISH) && Append(adler, sizeof adler) &&
           FlushChunk(/*last=*/true);
  }

 private:
  // A window of 512 bytes, and the two bytes before the deflate data that say so (no dictionary,
  // the fastest level).
  static constexpr int kWindowBits = 9;
  static constexpr unsigned char kZlibHeader[2] = {0x18, 0x19};

  // Room for data in the current IDAT chunk: up to the next write boundary.
  std::size_t Capacity() const { return kWriteSize - head_ - kChunkFrame; }
  unsigned char* Data() const { return buffer_.get() + head_ + 8; }

  // Adds bytes of the zlib stream after deflate's, in the chunk buffer.
  bool Append(const unsigned char* bytes, std::size_t count) {
    if (Capacity() - used_ < count && !FlushChunk(/*last=*/false)) return false;
    std::memcpy(Data() + used_, bytes, count);
    used_ += count;
    return true;
  }

  // Runs deflate over the bytes into the chunk buffer, writing each chunk as it fills.
  bool Deflate(const unsigned char* bytes, std::size_t count, int flush) {
    stream_.next_in = const_cast<unsigned char*>(bytes);
    stream_.avail_in = static_cast<uInt>(count);
    for (;;) {
      stream_.next_out = Data() + used_;
      stream_.avail_out = static_cast<uInt>(Capacity() - used_);
      const int result = deflate(&stream_, flush);
      used_ = Capacity() - stream_.avail_out;
      if (result == Z_STREAM_END) return true;
      if (result != Z_OK && result != Z_BUF_ERROR) {
        errno = EIO;
        return false;
      }
      if (stream_.avail_out == 0) {
        if (!FlushChunk(/*last=*/false)) return false;
      } else if (flush == Z_NO_FLUSH && stream_.avail_in == 0) {
        return true;
      }
    }
  }

  // Lays out a whole chunk at the given place; returns its size.
  static std::size_t LayOutChunk(unsigned char* at, const char* type, std::size_t length) {
    StoreBigEndian32(at, static_cast<std::uint32_t>(length));
    std::memcpy(at + 4, type, 4);
    StoreBigEndian32(at + 8 + length, ChunkCrc(at + 4, 4 + length));
    return kChunkFrame + length;
  }

  // A chunk before the image data, in the buffer ahead of the first IDAT chunk.
  void PutSmallChunk(const char* type, const unsigned char* data, std::size_t length) {
    std::memcpy(buffer_.get() + head_ + 8, data, length);
    head_ += LayOutChunk(buffer_.get() + head_, type, length);
  }

  // Writes what the buffer holds, ending with the current IDAT chunk, and IEND after the last.
  bool FlushChunk(bool last) {
    std::size_t size = head_ + LayOutChunk(buffer_.get() + head_, "IDAT", used_);
    if (last) size += LayOutChunk(buffer_.get() + size, "IEND", 0);
    head_ = 0;
    used_ = 0;
    return WriteWhole(fd_, buffer_.get(), size);
  }

  const int fd_;
  z_stream stream_{};
  bool started_ = false;
  std::size_t head_ = 0;     // bytes in the buffer before the current IDAT chunk
  std::size_t used_ = 0;     // data bytes of the current IDAT chunk
  std::uint32_t adler_ = 1;  // the Adler-32 of no bytes
  std::unique_ptr<unsigned char[]> buffer_;
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

bool TakeGreyRow(const unsigned char* pixels, int width, unsigned char* grey) noexcept {
  int x = 0;
  bool coloured = false;
#if defined(__x86_64__)
  if (HasCpuFeature(CpuFeature::kSsse3)) x = TakeGreyBlocks(pixels, width, grey, coloured);
#endif
  return !coloured && TakeGreyPixels(pixels + 3 * x, width - x, grey + x);
}

Encoding WriteStoredPng(int fd, const Raster& raster, bool grey, double dpi, int& write_errno) {
  StoredPngFile file(fd);
  errno = 0;
  Encoding result =
      file.WriteHead(raster, grey, dpi) ? WriteRows(file, raster, grey) : Encoding::kFailed;
  if (result == Encoding::kFailed) write_errno = errno != 0 ? errno : EIO;
  return result;
}

}  // namespace quillamar::pagerender
