// The chunk classes of a PNG image, their lists and registry, and what a chunk may change of the
// image it is read into.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "framework/graphics.h"
#include "png/png_messages.h"

namespace quillamar {
class TStream;
}

namespace quillamar::png {

class TPNGObject;
class TChunk;
class TChunkIHDR;

/// The 256-byte map from an 8-bit sample to the stored value.
using GammaTable = std::array<std::uint8_t, 256>;

/// Takes the rows of a red-green-blue image as they are decoded, in place of the image keeping
/// them: for a reader that only passes the picture on.
class RowSink {
 public:
  virtual ~RowSink() = default;
  /// Asked once the first header of an image is read, when it is of colour type 2 and not
  /// interlaced: true to take its rows. The image then keeps no pixels.
  virtual bool TakesRows(const TChunkIHDR& header) = 0;
  /// The next row from the top in the file's order: red, green, blue, 8 bits each, Width() * 3
  /// bytes, with the gamma map applied as the storage would have it. 8-bit rows come straight
  /// from the decoding, without a copy. Rows the data leave out come as zeros, so that every row
  /// comes; image data that come again come again. Whatever it raises ends the reading.
  virtual void Row(const std::uint8_t* pixels) = 0;
};

/// How one reading goes; the defaults keep every pixel and check every checksum.
struct ReadOptions {
  /// When set, offered the rows of the image (see RowSink).
  RowSink* rows = nullptr;
  /// When set, the zlib check value that ends the image data is neither computed nor compared:
  /// for PNGs from a trusted writer whose chunk CRCs, checked as always, guard every byte.
  bool skip_zlib_check_value = false;
};

/// What a chunk may see and change of the image it is read into, beyond the image's public side.
class ImageState {
 public:
  /// The options of the reading under way (the defaults outside one).
  virtual const ReadOptions& Options() const = 0;
  virtual void SetInterlaceMethod(std::uint8_t method) = 0;
  virtual void SetGammaMap(const GammaTable& map) = 0;
  /// Bytes that chunks hold beyond their data (header storage, texts); all of it together stays
  /// within kStorageLimit.
  virtual std::uint64_t MemoryHeld() const = 0;
  virtual void AdjustMemoryHeld(std::uint64_t released, std::uint64_t taken) = 0;
  /// The palette made from the colour table no longer holds.
  virtual void DropPaletteCache() = 0;

 protected:
  ~ImageState() = default;
};

/// The four type bytes of a chunk exactly as they stand in the file.
using ChunkTypeBytes = std::array<std::uint8_t, 4>;

/// The largest pixel storage plus alpha plane an image may ask for; more raises EOutOfMemory
/// before anything is allocated. The same figure bounds the bitmap an image is assigned to.
inline constexpr std::uint64_t kStorageLimit = std::uint64_t{1} << 30;
/// The largest width or height a header may give.
inline constexpr std::uint32_t kMaxDimension = 65535;
/// The largest chunk length; longer ones read as negative numbers and are refused.
inline constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFF;

/// A chunk class as a value: the type it stands for, how to make one, and whether an object is of
/// this class or of a class derived from it.
struct ChunkClass {
  std::string_view type_name;
  std::unique_ptr<TChunk> (*create)(TPNGObject* owner);
  bool (*is_instance)(const TChunk& chunk);
};

/// The class value of chunk class C (C::TypeName() and C's constructor from the owner image).
template <class C>
const ChunkClass& ClassOf() {
  static const ChunkClass kClass{
      C::TypeName(),
      [](TPNGObject* owner) -> std::unique_ptr<TChunk> { return std::make_unique<C>(owner); },
      [](const TChunk& chunk) {
        if constexpr (std::is_same_v<C, TChunk>) {
          return true;
        } else {
          return dynamic_cast<const C*>(&chunk) != nullptr;
        }
      }};
  return kClass;
}

/// Declares a chunk class's constructor from its owner image, its class-level type name and its
/// class value.
#define QUILLAMAR_CHUNK_CLASS(name, base, type)                                                   \
 public:                                                                                          \
  explicit name(TPNGObject* owner, std::string_view type_name = type) : base(owner, type_name) {} \
  static constexpr std::string_view TypeName() { return type; }                                   \
  const ChunkClass& Class() const override { return ClassOf<name>(); }

/// A chunk of any type: its data with their CRC checked. Also the class of every chunk type
/// without a registered class.
class TChunk {
 public:
  /// Takes its type from type_name (the class's TypeName()) when that has four letters; starts
  /// with no data.
  explicit TChunk(TPNGObject* owner, std::string_view type_name = {});
  virtual ~TChunk();
  TChunk(const TChunk&) = delete;
  TChunk& operator=(const TChunk&) = delete;

  static constexpr std::string_view TypeName() { return {}; }
  /// The class this object was created as.
  virtual const ChunkClass& Class() const { return ClassOf<TChunk>(); }
  /// Copies type and data of source.
  virtual void CopyFrom(const TChunk& source);
  /// Reads length data bytes and the CRC after them; EPngInvalidCRC when the CRC over type and data
  /// differs or the stream ends before the CRC is complete. Returns true.
  virtual bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length);

  /// The data, always followed by one spare byte.
  const std::uint8_t* Payload() const { return payload_.data(); }
  std::uint32_t PayloadLength() const { return payload_length_; }
  TPNGObject* OwnerImage() const { return owner_; }
  const ChunkTypeBytes& ChunkType() const { return chunk_type_; }
  /// Sets the type bytes as they were read.
  void SetChunkType(const ChunkTypeBytes& type) { chunk_type_ = type; }

 protected:
  /// Sets the data length; the buffer then holds length + 1 bytes.
  void ResizePayload(std::uint32_t length);
  std::uint8_t* MutablePayload() { return payload_.data(); }
  /// The owner's header; EPNGHeaderNotPresent when there is no owner or it has no header.
  class TChunkIHDR& OwnerHeader() const;
  /// What the chunk may change of its owner while it is read; null without an owner.
  ImageState* OwnerState() const;

 private:
  void ReadPayload(TStream& stream, std::uint32_t length);

  std::vector<std::uint8_t> payload_;
  std::uint32_t payload_length_ = 0;
  TPNGObject* owner_;
  ChunkTypeBytes chunk_type_{};
};

/// The 40-byte description of a device-independent raster.
struct BitmapInfoHeader {
  std::uint32_t size = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;  ///< positive: rows bottom-up
  std::uint16_t planes = 0;
  std::uint16_t bit_count = 0;
  std::uint32_t compression = 0;
  std::uint32_t size_image = 0;
  std::int32_t x_pels_per_meter = 0;
  std::int32_t y_pels_per_meter = 0;
  std::uint32_t colors_used = 0;
  std::uint32_t colors_important = 0;
};

/// One colour-table entry: blue, green, red, a reserved zero.
struct RgbQuad {
  std::uint8_t blue = 0;
  std::uint8_t green = 0;
  std::uint8_t red = 0;
  std::uint8_t reserved = 0;
  bool operator==(const RgbQuad&) const = default;
};

/// The storage's description: header and 256-entry colour table, 1064 bytes.
struct BitmapInfo {
  BitmapInfoHeader header;
  std::array<RgbQuad, 256> colors;
};

/// The image header. Validates the image's size and format and owns the pixel storage: rows
/// bottom-up, RowStride() bytes each (a multiple of 4), 1/4/8-bit indexes against the colour table
/// or 24-bit blue-green-red, plus a top-down alpha plane for colour types 4 and 6.
class TChunkIHDR : public TChunk {
  QUILLAMAR_CHUNK_CLASS(TChunkIHDR, TChunk, "IHDR")

  /// Raises EPngInvalidIHDR (short data, or a colour type and depth no PNG has, or a zero side),
  /// EPNGSizeExceeds, EPNGUnknownCompression, EPNGUnknownInterlace; then prepares the storage.
  bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) override;
  /// Takes the header fields, a new storage and a copy of source's pixels, alpha and colours.
  void CopyFrom(const TChunk& source) override;
  /// Replaces the storage by a zeroed one that fits the header fields; EOutOfMemory when the image
  /// would hold more than kStorageLimit bytes. Without keep_pixels the limit and the format hold
  /// as ever, but there is no storage: the rows go to the reading's row sink as they are decoded.
  void PrepareStorage(bool keep_pixels = true);
  /// The rows go to the reading's row sink instead of a storage (PixelBits() is null).
  bool RowsStreamed() const { return streamed_; }

  std::uint32_t Width() const { return width_; }
  std::uint32_t Height() const { return height_; }
  std::uint8_t BitDepth() const { return bit_depth_; }
  std::uint8_t ColorType() const { return color_type_; }
  std::uint8_t CompressionMethod() const { return compression_method_; }
  std::uint8_t FilterMethod() const { return filter_method_; }
  std::uint8_t InterlaceMethod() const { return interlace_method_; }

  bool Indexed() const { return indexed_; }
  const BitmapInfo& DibInfo() const { return dib_info_; }
  BitmapInfo& DibInfo() { return dib_info_; }
  std::int32_t RowStride() const { return row_stride_; }
  /// The pixel memory, null before the storage is prepared.
  std::uint8_t* PixelBits() const { return pixels_.get(); }
  /// Storage row of image row y (0 at the top): the rows are stored bottom-up. Only for a
  /// prepared storage and y below Height().
  std::uint8_t* StorageRow(std::uint32_t y) const {
    return pixels_.get() + std::size_t{height_ - 1 - y} * static_cast<std::size_t>(row_stride_);
  }
  /// The alpha plane, null for colour types without alpha.
  std::uint8_t* AlphaPlane() const { return alpha_.get(); }
  /// The pixel memory as shared storage, for a bitmap that takes it without copying.
  const std::shared_ptr<std::uint8_t[]>& SharedPixelBits() const { return pixels_; }
  /// Bytes held by the storage (pixels and alpha).
  std::uint64_t StorageBytes() const;

 private:
  void ParseFields();
  void ReleaseStorage();
  // True when the reading's row sink takes this header's rows.
  bool OfferedToRowSink();

  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint8_t bit_depth_ = 0;
  std::uint8_t color_type_ = 0;
  std::uint8_t compression_method_ = 0;
  std::uint8_t filter_method_ = 0;
  std::uint8_t interlace_method_ = 0;
  bool indexed_ = false;
  BitmapInfo dib_info_{};
  std::int32_t row_stride_ = 0;
  bool streamed_ = false;
  std::shared_ptr<std::uint8_t[]> pixels_;
  std::shared_ptr<std::uint8_t[]> alpha_;
};

/// The palette: its colours go into the header's colour table as they are read.
class TChunkPLTE : public TChunk {
  QUILLAMAR_CHUNK_CLASS(TChunkPLTE, TChunk, "PLTE")

  /// EPNGInvalidPalette when the data are not whole entries or more than 256 of them.
  bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) override;
  /// Takes EntryCount only; the colours travel with the header.
  void CopyFrom(const TChunk& source) override;

  int EntryCount() const { return entry_count_; }
  /// Colour-table entry index as 0x00RRGGBB; EPngError when index is not below EntryCount().
  std::uint32_t PaletteEntry(std::uint8_t index) const;

 private:
  int entry_count_ = 0;
};

/// Transparency: per-entry alphas of a palette image, or the key sample of a grey or RGB image.
class TChunktRNS : public TChunk {
  QUILLAMAR_CHUNK_CLASS(TChunktRNS, TChunk, "tRNS")

  /// EPNGInvalidPalette when longer than 256 bytes.
  bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) override;
  void CopyFrom(const TChunk& source) override;

  bool SingleKey() const { return single_key_; }
  /// The data followed by 255 up to 256 bytes.
  const std::array<std::uint8_t, 256>& EntryAlpha() const { return entry_alpha_; }
  /// The transparent colour (0x00BBGGRR). For a palette image: the colour of the first entry with
  /// alpha 0, 0 when there is none or the image has no palette chunk; EPngError when that entry
  /// lies beyond the palette.
  TColor KeyColor() const;

 private:
  bool single_key_ = false;
  std::array<std::uint8_t, 256> entry_alpha_{};
};

/// Gamma: rebuilds the image's gamma map as it is read.
class TChunkgAMA : public TChunk {
  QUILLAMAR_CHUNK_CLASS(TChunkgAMA, TChunk, "gAMA")

  bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) override;
  void CopyFrom(const TChunk& source) override;
  /// The four data bytes big-endian; data of another length become four bytes and count as 1.
  std::uint32_t GammaValue();
};

/// Image data: decodes the whole image into the header's storage when it is read.
class TChunkIDAT : public TChunk {
  QUILLAMAR_CHUNK_CLASS(TChunkIDAT, TChunk, "IDAT")

  /// Inflates the image data, moving on into following IDAT chunks as needed; leaves the stream
  /// after the CRC of the last IDAT chunk it used. Raises EPngInvalidCRC, EPNGMissingMultipleIDAT
  /// or EPNGZLIBError.
  bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) override;
};

/// The end of the image.
class TChunkIEND : public TChunk {
  QUILLAMAR_CHUNK_CLASS(TChunkIEND, TChunk, "IEND")
};

/// The time of the last change; fields stay as they are unless the data are exactly 7 bytes.
class TChunktIME : public TChunk {
  QUILLAMAR_CHUNK_CLASS(TChunktIME, TChunk, "tIME")

  bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) override;

  std::uint16_t Year() const { return year_; }
  std::uint8_t Month() const { return month_; }
  std::uint8_t Day() const { return day_; }
  std::uint8_t Hour() const { return hour_; }
  std::uint8_t Minute() const { return minute_; }
  std::uint8_t Second() const { return second_; }

 private:
  std::uint16_t year_ = 0;
  std::uint8_t month_ = 0;
  std::uint8_t day_ = 0;
  std::uint8_t hour_ = 0;
  std::uint8_t minute_ = 0;
  std::uint8_t second_ = 0;
};

/// A keyword and a text, byte for byte as in the file.
class TChunktEXt : public TChunk {
  QUILLAMAR_CHUNK_CLASS(TChunktEXt, TChunk, "tEXt")

  bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) override;
  /// Takes Keyword and Text only.
  void CopyFrom(const TChunk& source) override;

  const std::string& Keyword() const { return keyword_; }
  const std::string& Text() const { return text_; }

 protected:
  void SetText(std::string keyword, std::string text);

 private:
  std::string keyword_;
  std::string text_;
};

/// A keyword and a compressed text; a text that cannot be inflated stays empty without error.
class TChunkzTXt : public TChunktEXt {
  QUILLAMAR_CHUNK_CLASS(TChunkzTXt, TChunktEXt, "zTXt")

  bool ReadBody(TStream& stream, const ChunkTypeBytes& type, std::uint32_t length) override;
};

/// A list of untyped pointers that owns nothing.
class TPNGPointerList {
 public:
  explicit TPNGPointerList(TPNGObject* owner) : owner_(owner) {}

  TPNGObject* Owner() const { return owner_; }
  std::uint32_t Count() const { return static_cast<std::uint32_t>(items_.size()); }
  /// Grows or shrinks to exactly count; new positions hold null.
  void SetCount(std::uint32_t count);
  /// The pointer at index; null outside the list.
  void* Item(std::int64_t index) const;
  /// Ignored outside the list.
  void SetItem(std::int64_t index, void* item);
  void Add(void* item);
  /// Takes the last occurrence of item out of the list and returns it; null when absent.
  void* Remove(void* item);

 private:
  TPNGObject* owner_;
  std::vector<void*> items_;
};

/// The chunk list of an image.
class TPNGList : public TPNGPointerList {
 public:
  using TPNGPointerList::TPNGPointerList;

  TChunk* Chunk(std::int64_t index) const { return static_cast<TChunk*>(Item(index)); }
  /// The first chunk of chunk_class or of a class derived from it; null when there is none.
  TChunk* FindByClass(const ChunkClass& chunk_class) const;
  template <class C>
  C* FindByClass() const {
    return static_cast<C*>(FindByClass(ClassOf<C>()));
  }
};

/// Appends a class to the registry that CreateChunkForType searches.
void RegisterChunkClass(const ChunkClass& chunk_class);
/// The registered classes in registration order (the nine chunk classes, registered at start-up).
const std::vector<const ChunkClass*>& ChunkClassRegistry();
/// A new chunk of the first registered class whose type name equals the type's text (its bytes up
/// to the first zero), a plain TChunk when none does; its ChunkType is the four bytes given.
std::unique_ptr<TChunk> CreateChunkForType(TPNGObject* image, const ChunkTypeBytes& type);

/// What InflateWholeBuffer made of a zlib stream.
struct InflateOutcome {
  bool success = true;
  std::string output;
  std::string error_text;  ///< zlib's own words on failure, empty when it gave none
};
/// Inflates one whole zlib stream held in memory; reports failure rather than raising. Output
/// beyond limit bytes counts as a failure. The output is allocated once, at its final size
/// (std::bad_alloc when that cannot be had).
InflateOutcome InflateWholeBuffer(const std::uint8_t* input, std::size_t length,
                                  std::uint64_t limit = kStorageLimit);

}  // namespace quillamar::png
