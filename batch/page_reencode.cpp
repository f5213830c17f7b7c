// Re-encoding of one page PNG as a JPEG file, at once or prepared ahead and committed later: one
// pipeline from the PNG reader's rows into one JPEG row encoder.
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "batch/batch.h"
#include "batch/growing_page.h"
#include "batch/row_queue.h"
#include "framework/graphics.h"
#include "framework/system_calls.h"
#include "jpeg/jpeg.h"
#include "png/png_object.h"

namespace quillamar::batch {
namespace {

// Rows handed to the encoder at once from a picture read whole.
constexpr std::uint32_t kRowsPerBatch = 16;

// A page this large is encoded on a second thread while it is read, where there is one.
bool EncodesOnASecondThread(std::uint32_t width, std::uint32_t height) {
  const std::uint64_t pixels = std::uint64_t{width} * height;
  return pixels >= static_cast<std::uint64_t>(kEncodeAlongsidePixels) && UsableCpuCount() > 1;
}

// The PNG reader's rows of a colour page, straight into the encoder as they are decoded (through
// a row queue to a second thread for a large page): no picture of the page is kept. The rows the
// reader hands over are the page's final picture, since nothing after the image data can change
// the colours of a red-green-blue image.
class RowsIntoEncoder : public png::RowSink {
 public:
  explicit RowsIntoEncoder(JpegRowEncoder& encoder) : encoder_(encoder) {}

  bool TakesRows(const png::TChunkIHDR& header) override {
    // A picture no JPEG can hold is kept, so that its encoding fails where every page's does.
    if (header.Width() > kMaxJpegSide || header.Height() > kMaxJpegSide) return false;
    encoder_.Begin(static_cast<int>(header.Width()), static_cast<int>(header.Height()),
                   RowKind::kRedGreenBlue);
    if (EncodesOnASecondThread(header.Width(), header.Height())) {
      queue_.emplace(
          std::size_t{header.Width()} * 3,
          [this](const std::uint8_t* const* rows, int count) { encoder_.PutRows(rows, count); });
    }
    taken_ = true;
    return true;
  }

  void Row(const std::uint8_t* pixels) override {
    if (queue_) {
      queue_->Put(pixels);
    } else {
      encoder_.PutRows(&pixels, 1);
    }
  }

  bool Taken() const { return taken_; }

  // After the reading: the encoder's file is complete.
  PagePath Finish() {
    if (queue_) queue_->Finish();
    encoder_.Finish();
    return queue_ ? PagePath::kStreamedOnASecondThread : PagePath::kStreamed;
  }

 private:
  JpegRowEncoder& encoder_;
  bool taken_ = false;
  std::optional<RowQueue> queue_;  // its thread ends before the encoder can go
};

// Hands every row of a picture read whole to the encoder, a batch at a time; row_at(y, k) gives
// row y as the k-th of its batch.
template <typename RowAt>
void EncodeRows(JpegRowEncoder& encoder, std::uint32_t height, const RowAt& row_at) {
  std::array<const std::uint8_t*, kRowsPerBatch> batch{};
  for (std::uint32_t first = 0; first < height; first += kRowsPerBatch) {
    const std::uint32_t count = std::min(kRowsPerBatch, height - first);
    for (std::uint32_t k = 0; k < count; ++k) batch[k] = row_at(first + k, k);
    encoder.PutRows(batch.data(), static_cast<int>(count));
  }
  encoder.Finish();
}

// A page read whole. Only alpha blending can change (or refuse) a pixel, so only such a page is
// drawn over its own assignment to a bitmap; the others give their rows to the encoder as they
// are: grey bytes as luminance, the others as the colours a bitmap would hold.
PagePath EncodeKeptPicture(const png::TPNGObject& png, JpegRowEncoder& encoder, TJPEGImage& jpeg) {
  const png::TChunkIHDR& header = png.HeaderChunk();
  if (png.AlphaKind() == png::akAlpha || header.PixelBits() == nullptr) {
    TBitmap bitmap;
    bitmap.Assign(png);
    if (png.AlphaKind() == png::akAlpha) bitmap.Canvas().Draw(0, 0, &png);
    jpeg.Assign(bitmap);
    jpeg.EnsureEncoded();
    return PagePath::kBitmap;
  }
  const auto width = static_cast<int>(header.Width());
  const auto height = static_cast<int>(header.Height());
  if (png.HasIdentityGreyRows()) {
    encoder.Begin(width, height, RowKind::kGrey);
    EncodeRows(encoder, header.Height(), [&png](std::uint32_t y, std::uint32_t) {
      return png.RowAddress(static_cast<int>(y));
    });
    return PagePath::kGrey;
  }
  // The colours of an indexed picture take three times its storage: refused as a bitmap of them
  // would be.
  if (TBitmap::RowStrideFor(width) * std::uint64_t{header.Height()} > png::kStorageLimit) {
    throw EOutOfMemory();
  }
  encoder.Begin(width, height, RowKind::kBlueGreenRed);
  std::vector<std::uint8_t> colours(header.Indexed() ? kRowsPerBatch * header.Width() * 3 : 0);
  EncodeRows(encoder, header.Height(), [&](std::uint32_t y, std::uint32_t k) {
    return png.ColourRow(y, colours.data() + std::size_t{k} * header.Width() * 3);
  });
  return PagePath::kColourRows;
}

// Reads the picture into the PNG image it is given, with the options given.
using ReadPng = std::function<void(png::TPNGObject&, const png::ReadOptions&)>;

// Reads the page and encodes it into jpeg, on whichever path suits it.
PagePath EncodePage(const ReadPng& read, TJPEGImage& jpeg) {
  JpegRowEncoder encoder(jpeg);
  RowsIntoEncoder rows(encoder);
  png::TPNGObject png;
  // The renderer's pages: each chunk's CRC is checked, the data's second checksum only costs.
  read(png, png::ReadOptions{&rows, /*skip_zlib_check_value=*/true});
  if (rows.Taken()) return rows.Finish();
  return EncodeKeptPicture(png, encoder, jpeg);
}

class PreparedJpeg : public PreparedPage {
 public:
  explicit PreparedJpeg(std::string jpg_path) : jpg_path_(std::move(jpg_path)) {}
  // Held until its turn: only the encoded bytes, not the pictures they were made from.
  void Encode(const ReadPng& read) {
    path_ = EncodePage(read, jpeg_);
    jpeg_.KeepOnlyEncoded();
  }
  void Commit() override { jpeg_.SaveFile(jpg_path_); }
  std::optional<PagePath> Path() const override { return path_; }

 private:
  std::string jpg_path_;
  TJPEGImage jpeg_;
  PagePath path_ = PagePath::kStreamed;
};

std::unique_ptr<PreparedPage> Prepare(const ReadPng& read, const std::string& jpg_path) {
  auto prepared = std::make_unique<PreparedJpeg>(jpg_path);
  prepared->Encode(read);
  return prepared;
}

}  // namespace

void ConvertPngToJpg(const std::string& png_path, const std::string& jpg_path) {
  PreparePngToJpg(png_path, jpg_path)->Commit();
}

void SetScreenColorDepth(int bits_per_pixel) { InitJpegScreenDepth(bits_per_pixel); }

std::unique_ptr<PreparedPage> PreparePngToJpg(const std::string& png_path,
                                              const std::string& jpg_path) {
  return Prepare(
      [&png_path](png::TPNGObject& image, const png::ReadOptions& options) {
        image.LoadFile(png_path, options);
      },
      jpg_path);
}

std::unique_ptr<PreparedPage> PrepareStreamedPngToJpg(TStream& png, const std::string& jpg_path) {
  return Prepare([&png](png::TPNGObject& image,
                        const png::ReadOptions& options) { image.ReadImage(png, options); },
                 jpg_path);
}

}  // namespace quillamar::batch
