// The PNG image: read from a stream, assigned to a bitmap, drawn on a canvas.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framework/graphics.h"
#include "png/png_chunks.h"
#include "png/png_messages.h"

namespace quillamar::png {

/// An image's transparency.
enum TAlphaKind { akNone, akColorKey, akAlpha };

/// One entry of a logical palette.
struct LogicalPaletteEntry {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  std::uint8_t flags = 0;
};
/// A 256-entry palette made from the colour table.
struct LogicalPalette {
  std::uint16_t version = 0x300;
  std::uint16_t entry_count = 256;
  std::array<LogicalPaletteEntry, 256> entries{};
};

/// A PNG image read from a stream. Its pixels live in the header chunk's storage; it can be
/// assigned to a TBitmap and drawn on a canvas.
class TPNGObject : public TGraphic, public ImageState {
 public:
  TPNGObject();
  ~TPNGObject() override;

  const char* ClassName() const override { return "TPNGObject"; }
  /// From another TPNGObject: a copy of all its chunks; otherwise the source assigns itself.
  void Assign(const TGraphic& source) override;
  /// To a TBitmap: the bitmap takes the image's size and colours (alpha ignored), plus the
  /// transparent colour for a colour-key image. To a TPNGObject: a copy. EConvertError otherwise
  /// or when the image has no header; EOutOfMemory when the bitmap would exceed kStorageLimit.
  void AssignTo(TGraphic& dest) const override;
  /// The blue-green-red colours of row y (0 at the top), as a bitmap assigned from the image
  /// would hold them (transparency aside): the storage row itself when it has that layout,
  /// otherwise buffer, Width() * 3 bytes, filled with them. Only for an image whose header has
  /// pixels, and y below Height().
  const std::uint8_t* ColourRow(std::uint32_t y, std::uint8_t* buffer) const;
  /// Draws into rect of the canvas's bitmap: opaque, by key colour or blended by alpha.
  void Draw(TCanvas& canvas, const TRect& rect) const override;

  int Width() const override;
  int Height() const override;
  /// Always raises EPngError: the size follows from the header.
  void SetWidth(int width) override;
  void SetHeight(int height) override;
  bool Empty() const override { return chunk_items_.Count() == 0; }
  bool Transparent() const override { return AlphaKind() != akNone; }

  /// Reads a PNG from the stream's position; every failure raises. The chunks read before a
  /// failure stay in ChunkItems().
  void ReadImage(TStream& stream) override { ReadImage(stream, ReadOptions{}); }
  void ReadImage(TStream& stream, const ReadOptions& options);
  /// LoadFile with options for the reading.
  void LoadFile(const std::string& path) override { LoadFile(path, ReadOptions{}); }
  void LoadFile(const std::string& path, const ReadOptions& options);
  /// Frees every chunk and resets the gamma map to the identity.
  void ClearChunks();

  bool HasHeader() const;
  /// The first chunk; EPNGHeaderNotPresent when HasHeader() is false.
  TChunkIHDR& HeaderChunk();
  const TChunkIHDR& HeaderChunk() const;
  const TPNGList& ChunkItems() const { return chunk_items_; }

  const GammaTable& GammaMap() const { return gamma_map_; }
  std::uint8_t InterlaceMethod() const { return interlace_method_; }
  /// For colour types 0 and 3 a palette made from the colour table (kept until the storage is
  /// prepared again); null for the other types unless one was made earlier.
  const LogicalPalette* Palette() const;

  TAlphaKind AlphaKind() const;
  /// KeyColor of the first tRNS chunk, 0 without one.
  TColor ImageKeyColor() const;
  /// Storage row of image row y (0 at the top).
  std::uint8_t* RowAddress(int y) const;
  /// True when the storage holds one byte per pixel that is the pixel's grey itself, with neither
  /// alpha nor key colour: RowAddress(y) is then row y as grey bytes, and a bitmap assignment
  /// would only spread each into three equal ones.
  bool HasIdentityGreyRows() const;
  /// Data bytes of one filtered row of the whole image; 0 without a header.
  std::uint32_t FilteredRowBytes() const;
  /// Bytes between a byte and the same byte of the pixel to its left; 0 without a header.
  std::uint32_t FilterStride() const;

 private:
  // What chunks change while they are read.
  const ReadOptions& Options() const override { return *options_; }
  void SetInterlaceMethod(std::uint8_t method) override { interlace_method_ = method; }
  void SetGammaMap(const GammaTable& map) override { gamma_map_ = map; }
  std::uint64_t MemoryHeld() const override { return memory_held_; }
  void AdjustMemoryHeld(std::uint64_t released, std::uint64_t taken) override {
    memory_held_ = memory_held_ - std::min(released, memory_held_) + taken;
  }
  void DropPaletteCache() override { palette_cache_.reset(); }

  void ReadChunks(TStream& stream);
  // The bitmap takes the image's size and a raster, the storage itself when that has the
  // bitmap's layout; returns the raster AssignRows fills, null when the bitmap reads the storage.
  std::uint8_t* BeginAssignTo(TBitmap& bitmap) const;
  void AssignRows(std::uint8_t* raster, std::uint32_t first, std::uint32_t end) const;
  TChunk& AppendChunk(std::unique_ptr<TChunk> chunk);
  void CopyImage(const TPNGObject& source);

  static const ReadOptions kDefaultOptions;
  const ReadOptions* options_ = &kDefaultOptions;
  std::vector<std::unique_ptr<TChunk>> owned_chunks_;
  TPNGList chunk_items_;
  GammaTable gamma_map_{};
  std::uint8_t interlace_method_ = 0;
  mutable std::unique_ptr<LogicalPalette> palette_cache_;
  std::uint64_t memory_held_ = 0;
};

/// The width and height that the header of the PNG file at path gives, read from the file's first
/// bytes without reading the image; nullopt when it is no regular file or too short to hold them.
/// Neither the signature nor the header's CRC is checked: an estimate, for budgets, of a file
/// that is read in full later.
std::optional<std::pair<std::uint32_t, std::uint32_t>> PeekImageSize(const std::string& path);

/// Row figures for a width, bit depth and colour type: data bytes of a filtered row and filter
/// stride (both 0 for a colour type without them).
std::uint32_t FilteredRowBytesFor(std::uint32_t width, std::uint8_t bit_depth,
                                  std::uint8_t color_type);
std::uint32_t FilterStrideFor(std::uint8_t bit_depth, std::uint8_t color_type);

}  // namespace quillamar::png
