// Re-encoding of one page PNG as a JPEG file, at once or prepared ahead and committed later.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "batch/growing_page.h"
#include "framework/graphics.h"
#include "framework/row_gate.h"
#include "framework/system_calls.h"
#include "jpeg/jpeg.h"
#include "png/png_object.h"

namespace quillamar::batch {
namespace {

// The three images of one page, created as the JPEG image, the bitmap, then the PNG image and
// freed in that same order, also when a step raises.
struct PageImages {
  PageImages()
      : jpeg(std::make_unique<TJPEGImage>()),
        bitmap(std::make_unique<TBitmap>()),
        png(std::make_unique<png::TPNGObject>()) {}
  ~PageImages() {
    jpeg.reset();
    bitmap.reset();
    png.reset();
  }
  PageImages(const PageImages&) = delete;
  PageImages& operator=(const PageImages&) = delete;

  // Reads the PNG and hands its picture through the bitmap to the JPEG image; a colour page and a
  // large page come out of it already encoded.
  void Load(const std::string& png_path);
  // Reads the PNG from the stream: true when its colour rows went straight into the JPEG image
  // without trouble, false on anything else.
  bool LoadStreamed(TStream& stream);

  std::unique_ptr<TJPEGImage> jpeg;
  std::unique_ptr<TBitmap> bitmap;
  std::unique_ptr<png::TPNGObject> png;

 private:
  enum class Reading { kEncoded, kPixelsKept, kReadAgain };
  // load reads the picture into the PNG image it is given.
  using LoadPng = std::function<void(png::TPNGObject&)>;
  Reading Read(const LoadPng& load, bool stream_colour_rows);
};

// The encoding of a large page whose rows are not streamed (palette, or grey that is not encoded
// from its own rows) on a thread of its own, row by row behind the PNG decoding into its picture.
// It is a guess made while the file is read: only a page that was read without error and whose
// bitmap came out as the rows it was shown (nothing after the image data changed the colours,
// nothing asks for alpha drawing) takes its bytes; any other page, or a failed encoding, is encoded
// again after reading, exactly as a small page is, which also raises what it raises at its place.
class EncodingAlongside {
 public:
  // Follows the reading of image; its encoding takes the settings of target.
  EncodingAlongside(png::TPNGObject& image, const TJPEGImage& target)
      : image_(image), settings_(target.Settings()) {
    image_.OnRowsDecoded = [this](const png::TPNGObject&, std::uint32_t rows) { Rows(rows); };
  }
  // Reading failed, or the bytes were not taken: the encoder stops waiting and is joined.
  ~EncodingAlongside() {
    image_.OnRowsDecoded = nullptr;
    Stop();
  }
  EncodingAlongside(const EncodingAlongside&) = delete;
  EncodingAlongside& operator=(const EncodingAlongside&) = delete;

  // After the PNG was read without error: gives target the encoded bytes and returns true when
  // they are those of the page as read; false otherwise.
  bool TakeEncoded(TJPEGImage& target) {
    if (!encoder_.joinable()) return false;
    // Every row is complete by now; a row still missing would make the encoder give up rather
    // than wait for ever.
    gate_->Abandon();
    encoder_.join();
    const bool same_picture = StillTheRowsShown();
    if (same_picture && !failure_ && jpeg_->SharedData().EncodedBytes) {
      target.Assign(*jpeg_);
      return true;
    }
    Stop();
    return false;
  }

 private:
  // On the reading thread, as the decoder reports rows.
  void Rows(std::uint32_t rows) {
    if (rows == 0) {
      Start();
      return;
    }
    if (!gate_) return;
    image_.AssignRows(raster_, rows_given_, rows);
    rows_given_ = rows;
    gate_->Complete(static_cast<int>(rows));
  }

  void Start() {
    const png::TChunkIHDR& header = image_.HeaderChunk();
    const std::uint64_t pixels = std::uint64_t{header.Width()} * header.Height();
    if (gate_ || pixels < static_cast<std::uint64_t>(kEncodeAlongsidePixels) ||
        UsableCpuCount() < 2 || image_.AlphaKind() == png::akAlpha) {
      return;
    }
    // A grey page is encoded from its own rows once read, with half the work of encoding a
    // bitmap of it (no colour conversion), which is then never made.
    if (image_.HasIdentityGreyRows()) return;
    // Whatever keeps the encoder from starting (memory, a thread) leaves the page to the steps
    // after reading, which meet the same trouble at their own place.
    try {
      pixels_ = header.PixelBits();
      colours_ = header.DibInfo().colors;
      bitmap_ = std::make_unique<TBitmap>();
      raster_ = image_.BeginAssignTo(*bitmap_);
      jpeg_ = std::make_unique<TJPEGImage>();
      jpeg_->Settings() = settings_;
      jpeg_->Assign(*bitmap_);
      gate_ = std::make_unique<RowGate>(static_cast<int>(header.Height()));
      encoder_ = std::thread([this] {
        try {
          jpeg_->EncodeAsRowsComplete(*gate_);
        } catch (...) {
          failure_ = std::current_exception();
        }
      });
    } catch (...) {
      Stop();
    }
  }

  // The bitmap the steps after reading would make holds the rows the encoder was given.
  bool StillTheRowsShown() const {
    const png::TChunkIHDR& header = image_.HeaderChunk();
    return header.PixelBits() == pixels_ && image_.AlphaKind() != png::akAlpha &&
           (!header.Indexed() || header.DibInfo().colors == colours_);
  }

  void Stop() {
    if (encoder_.joinable()) {
      gate_->Abandon();
      encoder_.join();
    }
    jpeg_.reset();
    bitmap_.reset();
    gate_.reset();
    raster_ = nullptr;
  }

  png::TPNGObject& image_;
  const JpegSettings settings_;
  const std::uint8_t* pixels_ = nullptr;
  std::array<png::RgbQuad, 256> colours_{};
  std::unique_ptr<TBitmap> bitmap_;
  std::uint8_t* raster_ = nullptr;
  std::uint32_t rows_given_ = 0;
  std::unique_ptr<TJPEGImage> jpeg_;
  std::unique_ptr<RowGate> gate_;
  std::thread encoder_;
  std::exception_ptr failure_;
};

// The rows of a large page on their way from the reading thread to an encoding thread, through a
// few rows of buffer: the page is encoded while it is read, on two cores, without a picture of it
// in memory. Each side waits for half the buffer at a time, so neither is woken for every row.
class RowsOnAThread {
 public:
  RowsOnAThread(TJPEGImage& target, std::size_t row_bytes)
      : target_(target), row_bytes_(row_bytes), buffer_(kRows * row_bytes) {
    encoder_ = std::thread([this] { Encode(); });
  }
  // Rows not encoded yet are dropped.
  ~RowsOnAThread() { End(/*drop=*/true); }
  RowsOnAThread(const RowsOnAThread&) = delete;
  RowsOnAThread& operator=(const RowsOnAThread&) = delete;

  // On the reading thread: false once the encoding has failed.
  bool Put(const std::uint8_t* pixels) {
    std::unique_lock lock(mutex_);
    if (put_ - encoded_ == kRows) Await(lock, reader_waits_, [this] { return Space(); });
    if (failed_) return false;
    lock.unlock();  // the encoder reads only the rows before put_
    std::memcpy(At(put_), pixels, row_bytes_);
    lock.lock();
    ++put_;
    if (encoder_waits_ && (put_ - encoded_ >= kRows / 2)) changed_.notify_all();
    return true;
  }

  // Waits until every row put is encoded: true when the encoding never failed.
  bool Finish() {
    End(/*drop=*/false);
    return !failed_;
  }

 private:
  static constexpr std::size_t kRows = 64;

  std::uint8_t* At(std::size_t row) { return buffer_.data() + row % kRows * row_bytes_; }
  bool Space() const { return put_ - encoded_ <= kRows / 2 || failed_; }

  template <typename Ready>
  void Await(std::unique_lock<std::mutex>& lock, bool& waits, Ready ready) {
    waits = true;
    changed_.wait(lock, ready);
    waits = false;
  }

  void End(bool drop) {
    {
      const std::lock_guard lock(mutex_);
      ended_ = true;
      dropped_ = drop;
      changed_.notify_all();
    }
    if (encoder_.joinable()) encoder_.join();
  }

  void Encode() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (encoded_ == put_) {
        Await(lock, encoder_waits_, [this] { return put_ - encoded_ >= kRows / 2 || ended_; });
      }
      if (dropped_ || encoded_ == put_) return;
      const std::uint8_t* row = At(encoded_);
      lock.unlock();
      bool encoded = true;
      try {
        target_.PutRow(row);
      } catch (...) {
        encoded = false;
      }
      lock.lock();
      if (!encoded) {
        failed_ = true;
        changed_.notify_all();
        return;
      }
      ++encoded_;
      if (reader_waits_ && Space()) changed_.notify_all();
    }
  }

  TJPEGImage& target_;
  const std::size_t row_bytes_;
  std::vector<std::uint8_t> buffer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t put_ = 0;
  std::size_t encoded_ = 0;
  bool reader_waits_ = false;
  bool encoder_waits_ = false;
  bool ended_ = false;
  bool dropped_ = false;
  bool failed_ = false;
  std::thread encoder_;  // last: started once everything it uses is there
};

// The rows of a colour page go from the PNG decoding straight into the JPEG encoding, without a
// picture of the page in between: the same rows, in the same order, as the bitmap would hand
// over. A large page's rows are encoded on a second thread while it is read.
class StreamedRows : public png::TRowStream {
 public:
  StreamedRows(png::TPNGObject& image, TJPEGImage& target) : image_(image), target_(target) {
    image_.RowStream = this;
  }
  ~StreamedRows() override { image_.RowStream = nullptr; }
  StreamedRows(const StreamedRows&) = delete;
  StreamedRows& operator=(const StreamedRows&) = delete;

  bool TakesRows(const png::TChunkIHDR& header) override {
    if (taken_) return false;
    try {
      target_.BeginRows(static_cast<int>(header.Width()), static_cast<int>(header.Height()),
                        TJPEGImage::RowOrder::kRedGreenBlue);
      const std::uint64_t pixels = std::uint64_t{header.Width()} * header.Height();
      if (pixels >= static_cast<std::uint64_t>(kEncodeAlongsidePixels) && UsableCpuCount() > 1) {
        on_a_thread_ = std::make_unique<RowsOnAThread>(target_, std::size_t{header.Width()} * 3);
      }
    } catch (...) {
      target_.AbandonRows();
      return false;  // the usual way meets the same trouble at its own place
    }
    taken_ = true;
    height_ = header.Height();
    return true;
  }

  void Row(const std::uint8_t* pixels) override {
    if (failed_) return;
    try {
      if (on_a_thread_) {
        failed_ = !on_a_thread_->Put(pixels);
      } else {
        target_.PutRow(pixels);
      }
      rows_ += !failed_;
    } catch (...) {
      failed_ = true;
    }
  }

  bool Taken() const { return taken_; }
  // After a reading without error: true when the target holds the page's file.
  bool Finish() {
    if (on_a_thread_ && !on_a_thread_->Finish()) failed_ = true;
    if (failed_ || rows_ != height_) return false;
    try {
      target_.FinishRows();
      return true;
    } catch (...) {
      return false;
    }
  }

 private:
  png::TPNGObject& image_;
  TJPEGImage& target_;
  bool taken_ = false;
  bool failed_ = false;
  std::uint32_t height_ = 0;
  std::uint32_t rows_ = 0;
  std::unique_ptr<RowsOnAThread> on_a_thread_;  // last: its thread ends before the rest goes
};

// A page whose streamed rows ran into any trouble is read again, keeping its pixels: the usual way
// then raises what it raises at its place.
PageImages::Reading PageImages::Read(const LoadPng& load, bool stream_colour_rows) {
  EncodingAlongside alongside(*png, *jpeg);
  std::optional<StreamedRows> streamed;
  if (stream_colour_rows) streamed.emplace(*png, *jpeg);
  // The renderer's pages: each chunk's CRC is checked, the data's second checksum only costs.
  png->SkipZlibCheckValue = true;
  try {
    load(*png);
  } catch (...) {
    if (!streamed || !streamed->Taken()) throw;
    return Reading::kReadAgain;
  }
  if (streamed && streamed->Taken()) {
    return streamed->Finish() ? Reading::kEncoded : Reading::kReadAgain;
  }
  return alongside.TakeEncoded(*jpeg) ? Reading::kEncoded : Reading::kPixelsKept;
}

bool PageImages::LoadStreamed(TStream& stream) {
  return Read([&stream](png::TPNGObject& image) { image.ReadImage(stream); },
              /*stream_colour_rows=*/true) == Reading::kEncoded;
}

void PageImages::Load(const std::string& png_path) {
  const LoadPng from_file = [&png_path](png::TPNGObject& image) { image.LoadFile(png_path); };
  Reading reading = Read(from_file, /*stream_colour_rows=*/true);
  if (reading == Reading::kReadAgain) {
    jpeg->AbandonRows();
    png = std::make_unique<png::TPNGObject>();
    reading = Read(from_file, /*stream_colour_rows=*/false);
  }
  if (reading == Reading::kEncoded) return;
  if (png->HasIdentityGreyRows()) {
    // Grey pages skip the bitmap: its three equal bytes per pixel would encode to the same file.
    const png::TPNGObject& image = *png;
    jpeg->EncodeGrey(
        GreyRows{static_cast<int>(image.HeaderChunk().Width()),
                 static_cast<int>(image.HeaderChunk().Height()),
                 [&image](int y) -> const std::uint8_t* { return image.RowAddress(y); }});
    return;
  }
  bitmap->Assign(*png);
  // Drawing an image without an alpha channel over its own assignment writes every pixel with
  // the colour it already has; only alpha blending can change (or refuse) anything.
  if (png->AlphaKind() == png::akAlpha) bitmap->Canvas().Draw(0, 0, png.get());
  jpeg->Assign(*bitmap);
}

class PreparedJpeg : public PreparedPage {
 public:
  explicit PreparedJpeg(std::string jpg_path) : jpg_path_(std::move(jpg_path)) {}
  PageImages& Images() { return images_; }
  // Held until its turn: only the encoded bytes, not the pictures they were made from.
  void KeepOnlyEncoded() {
    images_.jpeg->KeepOnlyEncoded();
    images_.bitmap.reset();
    images_.png.reset();
  }
  void Commit() override { images_.jpeg->SaveFile(jpg_path_); }

 private:
  std::string jpg_path_;
  PageImages images_;
};

}  // namespace

void ConvertPngToJpg(const std::string& png_path, const std::string& jpg_path) {
  PreparePngToJpg(png_path, jpg_path)->Commit();
}

void SetScreenColorDepth(int bits_per_pixel) { InitJpegScreenDepth(bits_per_pixel); }

std::unique_ptr<PreparedPage> PreparePngToJpg(const std::string& png_path,
                                              const std::string& jpg_path) {
  auto prepared = std::make_unique<PreparedJpeg>(jpg_path);
  prepared->Images().Load(png_path);
  prepared->KeepOnlyEncoded();
  return prepared;
}

std::unique_ptr<PreparedPage> PrepareStreamedPngToJpg(TStream& png, const std::string& jpg_path) {
  try {
    auto prepared = std::make_unique<PreparedJpeg>(jpg_path);
    if (!prepared->Images().LoadStreamed(png)) return nullptr;
    prepared->KeepOnlyEncoded();
    return prepared;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace quillamar::batch
