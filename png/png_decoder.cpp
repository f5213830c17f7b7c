// Image data: the zlib stream across consecutive IDAT chunks, inflated row by row, unfiltered in
// place and handed to the row converter, in sequential or seven-pass order.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/bytes.h"
#include "framework/streams.h"
#include "png/png_convert.h"
#include "png/png_filters.h"
#include "png/png_internal.h"
#include "png/png_object.h"

namespace quillamar::png {

namespace {

// The input buffer holds one refill; a chunk's data are read in pieces of at most this size.
constexpr std::int64_t kInputBufferSize = 65535;

/// Decodes the image data of one image, starting at the data of its first IDAT chunk.
class IdatDecoder {
 public:
  IdatDecoder(TPNGObject& image, const ReadOptions& options, TStream& stream)
      : image_(image), options_(options), header_(image.HeaderChunk()), stream_(stream) {}
  ~IdatDecoder() {
    if (inflating_) inflateEnd(&zlib_);
  }
  IdatDecoder(const IdatDecoder&) = delete;
  IdatDecoder& operator=(const IdatDecoder&) = delete;

  /// Decodes every row, then reads the rest of the current chunk and checks its CRC.
  void Run(const ChunkTypeBytes& type, std::uint32_t length) {
    if (header_.Indexed()) detail::GreyRamp(header_, image_.GammaMap());
    width_ = header_.Width();
    height_ = header_.Height();
    running_crc_ = Crc32Update(0xFFFFFFFFu, type.data(), type.size());
    row_length_ = image_.FilteredRowBytes();
    stride_ = std::max<std::uint32_t>(image_.FilterStride(), 1);
    input_ = std::make_unique<std::uint8_t[]>(kInputBufferSize);
    if (inflateInit(&zlib_) == Z_OK) inflating_ = true;
    if (inflating_ && options_.skip_zlib_check_value) inflateValidate(&zlib_, 0);
    position_ = stream_.Position();
    data_end_ = position_ + length;
    for (auto& buffer : row_buffers_) {
      buffer.assign(std::size_t{row_length_} + 1 + detail::kFilterSlack, 0);
    }
    active_ = 1;
    context_ = {width_, row_length_, &image_.GammaMap(), IsIdentity(image_.GammaMap())};
    if (header_.PixelBits() != nullptr || header_.RowsStreamed()) {
      if (image_.InterlaceMethod() == 0) {
        DecodeSequentialRows();
      } else if (!header_.RowsStreamed()) {  // a later header cannot make streamed rows passes
        DecodeAdam7Passes();
      }
    }
    DrainChunk();
    CheckCrc();
  }

 private:
  static bool IsIdentity(const GammaTable& map) {
    for (std::size_t i = 0; i < map.size(); ++i) {
      if (map[i] != i) return false;
    }
    return true;
  }

  // The used-up chunk's CRC, then the header of the chunk that must continue the data.
  void CrossChunkBoundary() {
    CheckCrc();
    std::uint8_t framing[8];
    const std::int64_t got = stream_.Read(framing, 8);
    position_ += std::max<std::int64_t>(got, 0);
    if (got != 8 || std::memcmp(framing + 4, detail::kTypeIDAT.data(), 4) != 0) {
      Raise<EPNGMissingMultipleIDAT>(kMissingMultipleIdatText);
    }
    const std::uint32_t length = LoadBigEndian32(framing);
    if (length > kMaxChunkLength) Raise<EPngInvalidCRC>(kInvalidCrcText);
    running_crc_ = Crc32Update(0xFFFFFFFFu, framing + 4, 4);
    data_end_ = position_ + length;
  }

  void CheckCrc() {
    std::uint8_t stored[4];
    const std::int64_t got = stream_.Read(stored, 4);
    position_ += std::max<std::int64_t>(got, 0);
    if (got != 4 || LoadBigEndian32(stored) != (running_crc_ ^ 0xFFFFFFFFu)) {
      Raise<EPngInvalidCRC>(kInvalidCrcText);
    }
  }

  // Reads the next piece of the current chunk's data; false when the stream has nothing more.
  bool Refill() {
    const std::int64_t want = std::min(data_end_ - position_, kInputBufferSize);
    const std::int64_t got = stream_.Read(input_.get(), want);
    if (got <= 0) return false;
    position_ += got;
    running_crc_ = Crc32Update(running_crc_, input_.get(), static_cast<std::size_t>(got));
    zlib_.next_in = input_.get();
    zlib_.avail_in = static_cast<uInt>(got);
    return true;
  }

  /// Inflates up to count bytes into destination; fewer when the input or the zlib stream ends.
  std::size_t ReadInflated(std::uint8_t* destination, std::size_t count) {
    zlib_.next_out = destination;
    zlib_.avail_out = static_cast<uInt>(count);
    while (zlib_.avail_out > 0 && !stream_end_) {
      while (position_ == data_end_ && zlib_.avail_in == 0) CrossChunkBoundary();
      if (zlib_.avail_in == 0 && !Refill()) break;
      const int result = inflate(&zlib_, Z_NO_FLUSH);
      if (result == Z_STREAM_END) stream_end_ = true;
      // A stream that asks for a preset dictionary would get this answer on every call.
      if (result == Z_NEED_DICT) RaiseZlib(Z_STREAM_ERROR);
      if (result < 0) RaiseZlib(result);
    }
    return count - zlib_.avail_out;
  }

  [[noreturn]] static void RaiseZlib(int result) {
    Raise<EPNGZLIBError>((std::string(kZlibErrorText) + InflateResultDescription(result)).c_str());
  }

  /// Reverses the filter of the active row against the other, previous one.
  void ReverseRowFilter() {
    std::uint8_t* row = row_buffers_[active_].data();
    detail::ReverseFilter(row[0], row + 1, row_buffers_[1 - active_].data() + 1, row_length_,
                          stride_);
  }

  /// The one row reader of both walks: the next row into the active buffer, unfiltered. A row cut
  /// short holds zero where nothing was delivered. False when nothing more comes.
  bool ReadRow() {
    std::uint8_t* row = row_buffers_[active_].data();
    const std::size_t want = std::size_t{row_length_} + 1;
    const std::size_t got = ReadInflated(row, want);
    if (got == 0) return false;
    std::fill(row + got, row + want, 0);
    ReverseRowFilter();
    std::fill(row + got, row + want, 0);
    return true;
  }

  std::uint8_t* AlphaRow(std::uint32_t y) const {
    return header_.AlphaPlane() == nullptr ? nullptr
                                           : header_.AlphaPlane() + std::size_t{width_} * y;
  }

  // A streamed row in the file's order: the unfiltered row itself when the storage would hold
  // the same bytes, else the storage's row with red and blue back in their places.
  const std::uint8_t* StreamedRow(detail::SequentialConverter convert,
                                  std::vector<std::uint8_t>& converted) {
    const std::uint8_t* unfiltered = row_buffers_[active_].data() + 1;
    if (header_.BitDepth() == 8 && context_.gamma_identity) return unfiltered;
    convert(context_, unfiltered, converted.data(), nullptr);
    detail::SwapRedBlue(converted.data(), converted.data(), width_);
    return converted.data();
  }

  // Rows the data leave out stay as they are in the storage, and come as zeros to a row sink.
  void DecodeSequentialRows() {
    const detail::SequentialConverter convert =
        detail::PickSequentialConverter(header_.ColorType(), header_.BitDepth());
    RowSink* const sink = header_.RowsStreamed() ? options_.rows : nullptr;
    std::vector<std::uint8_t> streamed_row(sink != nullptr ? header_.RowStride() : 0);
    std::uint32_t y = 0;
    for (; convert != nullptr && y < height_ && ReadRow(); ++y) {
      if (sink != nullptr) {
        sink->Row(StreamedRow(convert, streamed_row));
      } else {
        convert(context_, row_buffers_[active_].data() + 1, header_.StorageRow(y), AlphaRow(y));
      }
      active_ = 1 - active_;
    }
    if (sink != nullptr && y < height_) {
      std::fill(streamed_row.begin(), streamed_row.end(), 0);
      for (std::uint32_t missing = y; missing < height_; ++missing) {
        sink->Row(streamed_row.data());
      }
    }
  }

  void DecodeAdam7Passes() {
    const detail::InterlacedConverter convert =
        detail::PickInterlacedConverter(header_.ColorType(), header_.BitDepth());
    if (convert == nullptr) return;
    for (int pass = 0; pass < 7; ++pass) {
      const detail::PassGeometry& geometry = detail::Adam7Passes[static_cast<std::size_t>(pass)];
      row_length_ = FilteredRowBytesFor(detail::PassWidth(geometry, width_), header_.BitDepth(),
                                        header_.ColorType());
      std::fill_n(row_buffers_[1 - active_].begin(), std::size_t{row_length_} + 1, 0);
      if (row_length_ == 0) continue;
      for (auto y = static_cast<std::uint32_t>(geometry.first_row); y < height_;
           y += static_cast<std::uint32_t>(geometry.row_step)) {
        if (!ReadRow()) break;
        convert(context_, pass, row_buffers_[active_].data() + 1, header_.StorageRow(y),
                AlphaRow(y));
        active_ = 1 - active_;
      }
    }
  }

  // What the rows did not need of the current chunk still counts for its CRC.
  void DrainChunk() {
    while (position_ < data_end_) {
      const std::int64_t want = std::min(data_end_ - position_, kInputBufferSize);
      const std::int64_t got = stream_.Read(input_.get(), want);
      if (got <= 0) return;
      position_ += got;
      running_crc_ = Crc32Update(running_crc_, input_.get(), static_cast<std::size_t>(got));
    }
  }

  TPNGObject& image_;
  const ReadOptions& options_;
  TChunkIHDR& header_;
  TStream& stream_;
  z_stream zlib_{};
  bool inflating_ = false;
  bool stream_end_ = false;
  std::unique_ptr<std::uint8_t[]> input_;
  std::vector<std::uint8_t> row_buffers_[2];
  int active_ = 1;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t row_length_ = 0;
  std::uint32_t stride_ = 1;
  std::uint32_t running_crc_ = 0;
  std::int64_t position_ = 0;
  std::int64_t data_end_ = 0;
  detail::ConvertContext context_;
};

}  // namespace

bool TChunkIDAT::ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) {
  if (OwnerImage() == nullptr) Raise<EPNGHeaderNotPresent>(kHeaderNotPresentText);
  IdatDecoder decoder(*OwnerImage(), OwnerState()->Options(), stream);
  decoder.Run(type, length);
  return true;
}

}  // namespace quillamar::png
