// The reader driven as the page re-encoder drives it, on any bytes: keeping the pixels, and
// streaming the rows of colour images.
#include "fuzz/read_png_harness.h"

#include <cstdlib>
#include <string>

#include "framework/bytes.h"
#include "framework/exceptions.h"
#include "framework/graphics.h"
#include "framework/streams.h"
#include "png/png_crc.h"
#include "png/png_object.h"

namespace quillamar::png::fuzzing {

namespace {

// Gives every complete chunk its right CRC, so that mutations reach past the CRC check.
void FixChunkCrcs(std::string& bytes) {
  constexpr std::size_t kFraming = 12;
  for (std::size_t at = 8; at + kFraming <= bytes.size();) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data()) + at;
    const std::uint64_t length = LoadBigEndian32(p);
    if (at + kFraming + length > bytes.size()) return;
    const std::uint32_t crc = Crc32Update(0xFFFFFFFFu, p + 4, 4 + length) ^ 0xFFFFFFFFu;
    StoreBigEndian32(reinterpret_cast<std::uint8_t*>(bytes.data()) + at + 8 + length, crc);
    at += kFraming + length;
  }
}

// Bitmaps beyond this are not made here: filling them says nothing new and only slows the run.
constexpr std::uint64_t kLargestBitmap = std::uint64_t{64} << 20;

void UseImage(const TPNGObject& image) {
  if (TBitmap::RowStrideFor(image.Width()) * static_cast<std::uint64_t>(image.Height()) >
      kLargestBitmap) {
    return;
  }
  TBitmap bitmap;
  bitmap.Assign(image);
  bitmap.Canvas().Draw(0, 0, &image);
  (void)image.Palette();
  (void)image.Transparent();
}

// Takes the rows of colour images as the re-encoder does, touching both ends of each.
class TouchingRows : public RowSink {
 public:
  bool TakesRows(const TChunkIHDR& header) override {
    row_bytes_ = std::size_t{header.Width()} * 3;
    return true;
  }
  void Row(const std::uint8_t* pixels) override {
    touched_ ^= pixels[0] ^ pixels[row_bytes_ - 1];
    ++rows;
  }

  std::uint64_t rows = 0;

 private:
  std::size_t row_bytes_ = 0;
  std::uint8_t touched_ = 0;
};

// Reads the bytes into the image, then uses whatever it got: a failed read leaves what it got in
// the image, and that must be safe to use as well.
ReadOutcome ReadAndUse(TPNGObject& image, const std::string& bytes,
                       const ReadOptions& options = {}) {
  TMemoryStream stream;
  stream.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  stream.SetPosition(0);
  ReadOutcome outcome = ReadOutcome::kRead;
  try {
    image.ReadImage(stream, options);
  } catch (const Exception&) {
    outcome = ReadOutcome::kRaised;
  }
  try {
    UseImage(image);
  } catch (const Exception&) {
  }
  return outcome;
}

// The same bytes read with their colour rows streamed: a reading that ends without error gave
// every row of a sequential image.
void ReadStreamed(const std::string& bytes) {
  TPNGObject image;
  TouchingRows rows;
  if (ReadAndUse(image, bytes, ReadOptions{&rows}) == ReadOutcome::kRead && image.HasHeader() &&
      image.HeaderChunk().RowsStreamed() && image.InterlaceMethod() == 0 &&
      rows.rows != image.HeaderChunk().Height()) {
    std::abort();  // a row went missing
  }
}

}  // namespace

ReadOutcome ReadPngBytes(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  // The last byte picks the mode: odd, the chunks get their right CRCs; even, they stay as given.
  if (!bytes.empty() && (bytes.back() & 1) != 0) FixChunkCrcs(bytes);
  TPNGObject image;
  const ReadOutcome outcome = ReadAndUse(image, bytes);
  ReadStreamed(bytes);
  return outcome;
}

}  // namespace quillamar::png::fuzzing
