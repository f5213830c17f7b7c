// Handing the image to a bitmap and drawing it: opaque, by key colour, or blended by alpha.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "framework/cpu.h"
#include "framework/exceptions.h"
#include "png/png_internal.h"
#include "png/png_object.h"

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

namespace quillamar::png {

namespace {

// True when entry i of the colour table is grey i for every i: the table of an 8-bit grey image
// without a gamma change.
bool IsIdentityGreyTable(const std::array<RgbQuad, 256>& colors) {
  for (std::size_t i = 0; i < colors.size(); ++i) {
    if (colors[i].blue != i || colors[i].green != i || colors[i].red != i) return false;
  }
  return true;
}

#if defined(__x86_64__)
// Sixteen grey bytes become sixteen blue-green-red pixels by three shuffles, while sixteen
// remain. Returns how many pixels it did.
QUILLAMAR_SSSE3 std::uint32_t SpreadGreyByShuffle(const std::uint8_t* grey, std::uint8_t* out,
                                                  std::uint32_t count) {
  std::uint32_t k = 0;
  for (; k + 16 <= count; k += 16) {
    const SpreadBytes spread =
        SpreadEachByteThrice(_mm_loadu_si128(reinterpret_cast<const __m128i*>(grey + k)));
    auto* target = reinterpret_cast<__m128i*>(out + std::size_t{k} * 3);
    _mm_storeu_si128(target, spread.low);
    _mm_storeu_si128(target + 1, spread.middle);
    _mm_storeu_si128(target + 2, spread.high);
  }
  return k;
}
#endif

/// Reads storage pixels as blue-green-red colours through the colour table where indexed.
class StorageReader {
 public:
  explicit StorageReader(const TChunkIHDR& header)
      : header_(header),
        bits_(header.DibInfo().header.bit_count),
        identity_grey_(bits_ == 8 && IsIdentityGreyTable(header.DibInfo().colors)) {}

  /// The index (or grey byte) at column x of a storage row of indexed storage.
  std::uint8_t IndexAt(const std::uint8_t* row, std::uint32_t x) const {
    switch (bits_) {
      case 1:
        return (row[x / 8] >> (7 - x % 8)) & 1;
      case 4:
        return (x % 2 == 0) ? row[x / 2] >> 4 : row[x / 2] & 15;
      default:
        return row[x];
    }
  }
  /// The colour at column x of a storage row, as three bytes blue, green, red.
  const std::uint8_t* ColourAt(const std::uint8_t* row, std::uint32_t x) const {
    if (bits_ == 24) return row + static_cast<std::size_t>(x) * 3;
    return &header_.DibInfo().colors[IndexAt(row, x)].blue;
  }
  const std::uint8_t* Row(std::uint32_t y) const { return header_.StorageRow(y); }

  /// Writes the colours of count pixels of a storage row, from column first on, as three bytes
  /// each; a whole row at a time rather than a pixel through ColourAt.
  void CopyColours(const std::uint8_t* row, std::uint32_t first, std::uint32_t count,
                   std::uint8_t* out) const {
    if (count == 0) return;
    if (bits_ == 24) {
      std::memcpy(out, row + std::size_t{first} * 3, std::size_t{count} * 3);
      return;
    }
    const RgbQuad* table = header_.DibInfo().colors.data();
    const std::uint32_t last = first + count - 1;
    if (bits_ == 8) {
      // A whole four-byte entry per pixel: its spare byte lands where the next pixel goes. Four
      // pixels a round while a fifth follows them in the run.
      std::uint32_t x = first;
#if defined(__x86_64__)
      if (identity_grey_ && HasCpuFeature(CpuFeature::kSsse3)) {
        const std::uint32_t done = SpreadGreyByShuffle(row + first, out, last - first);
        x += done;
        out += std::size_t{done} * 3;
      }
#endif
      for (; x + 4 <= last; x += 4, out += 12) {
        std::memcpy(out, &table[row[x]], 4);
        std::memcpy(out + 3, &table[row[x + 1]], 4);
        std::memcpy(out + 6, &table[row[x + 2]], 4);
        std::memcpy(out + 9, &table[row[x + 3]], 4);
      }
      for (; x < last; ++x, out += 3) std::memcpy(out, &table[row[x]], 4);
    } else {
      for (std::uint32_t x = first; x < last; ++x, out += 3) {
        std::memcpy(out, &table[IndexAt(row, x)], 4);
      }
    }
    std::memcpy(out, ColourAt(row, last), 3);  // the last pixel must not touch its neighbour
  }

 private:
  const TChunkIHDR& header_;
  int bits_;
  bool identity_grey_;  // the stored byte is the grey itself
};

TColor ColourOf(const std::uint8_t* bgr) { return RGB(bgr[2], bgr[1], bgr[0]); }

// The visible part of a rectangle on a target of width × height.
struct Clip {
  int left;
  int top;
  int right;
  int bottom;
};

Clip ClipTo(const TRect& rect, const TBitmap& target) {
  return {std::max(rect.Left, 0), std::max(rect.Top, 0), std::min(rect.Right, target.Width()),
          std::min(rect.Bottom, target.Height())};
}

// True when drawing at the image's own size at (0, 0) onto a bitmap that reads this very storage:
// every pixel would be written with the colour it already has.
bool DrawsOntoItself(const TChunkIHDR& header, const TBitmap& target, const TRect& rect) {
  return target.Bits() != nullptr && target.Bits() == header.PixelBits() &&
         rect == TRect{0, 0, static_cast<int>(header.Width()), static_cast<int>(header.Height())};
}

// Opaque drawing, or with a key colour: destination pixels whose source has the key keep theirs.
void DrawPixels(const TChunkIHDR& header, TBitmap& target, const TRect& rect, bool keyed,
                TColor key) {
  const int w = rect.Width();
  const int h = rect.Height();
  if (w <= 0 || h <= 0 || DrawsOntoItself(header, target, rect)) return;
  const StorageReader reader(header);
  const Clip clip = ClipTo(rect, target);
  const bool own_size = static_cast<std::uint32_t>(w) == header.Width() &&
                        static_cast<std::uint32_t>(h) == header.Height();
  for (int y = clip.top; y < clip.bottom; ++y) {
    const auto sy = static_cast<std::uint32_t>(std::int64_t{y - rect.Top} * header.Height() / h);
    const std::uint8_t* source = reader.Row(sy);
    std::uint8_t* out = target.MutableScanLine(y);
    if (own_size && !keyed) {  // every source pixel lands once: copy the visible run at once
      reader.CopyColours(source, static_cast<std::uint32_t>(clip.left - rect.Left),
                         static_cast<std::uint32_t>(std::max(clip.right - clip.left, 0)),
                         out + static_cast<std::size_t>(clip.left) * 3);
      continue;
    }
    for (int x = clip.left; x < clip.right; ++x) {
      const auto sx = static_cast<std::uint32_t>(std::int64_t{x - rect.Left} * header.Width() / w);
      const std::uint8_t* colour = reader.ColourAt(source, sx);
      if (keyed && ColourOf(colour) == key) continue;
      std::memcpy(out + static_cast<std::size_t>(x) * 3, colour, 3);
    }
  }
}

std::uint8_t Blend(std::uint32_t source, std::uint32_t alpha, std::uint32_t under) {
  return static_cast<std::uint8_t>((source * alpha + (255 - alpha) * under + 255) >> 8);
}

/// Colour and alpha of every palette index for the alpha drawing; entries beyond the palette are
/// marked, and meeting one is an error.
struct PaletteAlpha {
  std::array<std::array<std::uint8_t, 3>, 256> bgr{};
  std::array<std::uint8_t, 256> alpha{};
  std::array<bool, 256> present{};
};

PaletteAlpha PaletteAlphaOf(const TPNGObject& image) {
  PaletteAlpha table;
  const auto* palette = image.ChunkItems().FindByClass<TChunkPLTE>();
  const auto* transparency = image.ChunkItems().FindByClass<TChunktRNS>();
  const int count = palette != nullptr ? palette->EntryCount() : 0;
  for (int i = 0; i < count; ++i) {
    const std::uint32_t colour = palette->PaletteEntry(static_cast<std::uint8_t>(i));
    table.bgr[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(colour),
                                              static_cast<std::uint8_t>(colour >> 8),
                                              static_cast<std::uint8_t>(colour >> 16)};
    table.present[static_cast<std::size_t>(i)] = true;
  }
  if (transparency != nullptr) table.alpha = transparency->EntryAlpha();
  return table;
}

/// Blends the image over a rectangle of the target by its alpha plane or palette alphas.
class AlphaBlender {
 public:
  AlphaBlender(const TPNGObject& image, TBitmap& target, const TRect& rect)
      : image_(image), header_(image.HeaderChunk()), reader_(header_), target_(target) {
    left_ = std::min(rect.Left, rect.Right);
    top_ = std::min(rect.Top, rect.Bottom);
    w_ = std::max(rect.Left, rect.Right) - left_;
    h_ = std::max(rect.Top, rect.Bottom) - top_;
    stretch_x_ = static_cast<std::uint32_t>(w_) != header_.Width();
    stretch_y_ = static_cast<std::uint32_t>(h_) != header_.Height();
    fx_ = static_cast<double>(w_) / header_.Width();
    fy_ = static_cast<double>(h_) / header_.Height();
  }

  void Run() {
    if (w_ == 0 || h_ == 0) return;
    // The working area is as large as a 32-bit raster of the rectangle; refuse what no storage
    // of ours may be.
    if (std::uint64_t{static_cast<std::uint32_t>(w_)} * static_cast<std::uint32_t>(h_) * 4 >
        kStorageLimit) {
      Raise<EPNGOutMemory>(kOutOfResourcesText);
    }
    if (header_.ColorType() == 6) {
      if (DrawsOntoItself(header_, target_, TRect{left_, top_, left_ + w_, top_ + h_})) return;
      return BlendRows(&AlphaBlender::BlendRgba);
    }
    if (!header_.Indexed()) return;
    if (header_.ColorType() == 4) return BlendRows(&AlphaBlender::BlendGrey);
    palette_ = PaletteAlphaOf(image_);
    CheckPaletteIndexes();  // before any pixel changes, so an error leaves the target as it was
    BlendRows(&AlphaBlender::BlendPalette);
  }

 private:
  using PixelBlend = void (AlphaBlender::*)(const std::uint8_t* row, std::uint32_t sx,
                                            std::uint8_t alpha, std::uint8_t* out) const;

  std::uint32_t SourceX(int c) const {
    if (!stretch_x_) return static_cast<std::uint32_t>(c);
    return std::min(static_cast<std::uint32_t>(c / fx_), header_.Width() - 1);
  }
  std::uint32_t SourceY(int r) const {
    if (!stretch_y_) return static_cast<std::uint32_t>(r);
    return std::min(static_cast<std::uint32_t>(r / fy_), header_.Height() - 1);
  }

  void CheckPaletteIndexes() const {
    for (int r = 0; r < h_; ++r) {
      const std::uint8_t* row = reader_.Row(SourceY(r));
      for (int c = 0; c < w_; ++c) {
        if (!palette_.present[reader_.IndexAt(row, SourceX(c))]) {
          Raise<EPngError>(kNoSuchPaletteEntryText);
        }
      }
    }
  }

  void BlendRows(PixelBlend blend) {
    const Clip clip = ClipTo(TRect{left_, top_, left_ + w_, top_ + h_}, target_);
    const std::uint8_t* alpha_plane = header_.AlphaPlane();
    for (int y = clip.top; y < clip.bottom; ++y) {
      const std::uint32_t sy = SourceY(y - top_);
      const std::uint8_t* row = reader_.Row(sy);
      const std::uint8_t* alpha_row =
          alpha_plane != nullptr ? alpha_plane + std::size_t{sy} * header_.Width() : nullptr;
      std::uint8_t* out = target_.MutableScanLine(y);
      for (int x = clip.left; x < clip.right; ++x) {
        const std::uint32_t sx = SourceX(x - left_);
        (this->*blend)(row, sx, alpha_row != nullptr ? alpha_row[sx] : 0,
                       out + static_cast<std::size_t>(x) * 3);
      }
    }
  }

  void BlendRgba(const std::uint8_t* row, std::uint32_t sx, std::uint8_t alpha,
                 std::uint8_t* out) const {
    if (alpha == 0) return;
    const std::uint8_t* source = row + std::size_t{sx} * 3;
    for (int i = 0; i < 3; ++i) out[i] = alpha == 255 ? source[i] : Blend(source[i], alpha, out[i]);
  }

  // The stored grey byte itself, not its colour-table entry, is blended.
  void BlendGrey(const std::uint8_t* row, std::uint32_t sx, std::uint8_t alpha,
                 std::uint8_t* out) const {
    const std::uint8_t grey = row[sx];
    for (int i = 0; i < 3; ++i) out[i] = Blend(grey, alpha, out[i]);
  }

  void BlendPalette(const std::uint8_t* row, std::uint32_t sx, std::uint8_t,
                    std::uint8_t* out) const {
    const std::uint8_t index = reader_.IndexAt(row, sx);
    const auto& colour = palette_.bgr[index];
    for (int i = 0; i < 3; ++i)
      out[i] = Blend(colour[static_cast<std::size_t>(i)], palette_.alpha[index], out[i]);
  }

  const TPNGObject& image_;
  const TChunkIHDR& header_;
  StorageReader reader_;
  TBitmap& target_;
  PaletteAlpha palette_;
  int left_ = 0;
  int top_ = 0;
  int w_ = 0;
  int h_ = 0;
  bool stretch_x_ = false;
  bool stretch_y_ = false;
  double fx_ = 1;
  double fy_ = 1;
};

// A raster for a bitmap of the size whose every byte is about to be written: not zeroed first.
std::shared_ptr<std::uint8_t[]> RasterForOverwrite(int width, int height) {
  try {
    return std::make_shared_for_overwrite<std::uint8_t[]>(TBitmap::RowStrideFor(width) *
                                                          static_cast<std::size_t>(height));
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory();
  }
}

// A bitmap's bottom-up raster takes the colours of rows [first, end) of an indexed storage, its
// row padding zeroed.
void ExpandIndexed(const TChunkIHDR& header, std::uint8_t* raster, std::uint32_t first,
                   std::uint32_t end) {
  const StorageReader reader(header);
  const auto width = static_cast<int>(header.Width());
  const std::size_t stride = TBitmap::RowStrideFor(width);
  const std::size_t used = std::size_t{header.Width()} * 3;
  for (std::uint32_t y = first; y < end; ++y) {
    std::uint8_t* out = raster + TBitmap::RowOffsetFor(width, static_cast<int>(header.Height()),
                                                       static_cast<int>(y));
    reader.CopyColours(reader.Row(y), 0, header.Width(), out);
    std::memset(out + used, 0, stride - used);
  }
}

}  // namespace

void TPNGObject::AssignTo(TGraphic& dest) const {
  if (auto* image = dynamic_cast<TPNGObject*>(&dest)) {
    image->CopyImage(*this);
    return;
  }
  auto* bitmap = dynamic_cast<TBitmap*>(&dest);
  if (bitmap == nullptr || !HasHeader()) {
    TGraphic::AssignTo(dest);  // raises the framework's assignment error
    return;
  }
  AssignRows(BeginAssignTo(*bitmap), 0, HeaderChunk().Height());
  if (AlphaKind() == akColorKey) {
    bitmap->SetTransparentColor(chunk_items_.FindByClass<TChunktRNS>()->KeyColor());
    bitmap->SetTransparent(true);
  }
}

bool TPNGObject::HasIdentityGreyRows() const {
  if (!HasHeader() || AlphaKind() != akNone) return false;
  const TChunkIHDR& header = HeaderChunk();
  return header.PixelBits() != nullptr && header.Indexed() &&
         header.DibInfo().header.bit_count == 8 && IsIdentityGreyTable(header.DibInfo().colors);
}

std::uint8_t* TPNGObject::BeginAssignTo(TBitmap& bitmap) const {
  const TChunkIHDR& header = HeaderChunk();
  const int width = static_cast<int>(header.Width());
  const int height = static_cast<int>(header.Height());
  const std::uint64_t bitmap_bytes = TBitmap::RowStrideFor(width) * std::uint64_t{header.Height()};
  if (header.PixelBits() == nullptr) {
    bitmap.Clear();  // a header that failed its checks has no pixels to hand on
    return nullptr;
  }
  if (bitmap_bytes > kStorageLimit) {
    // An empty bitmap would pass for a picture and be saved as an empty file.
    throw EOutOfMemory();
  }
  if (!header.Indexed()) {
    bitmap.AdoptPixels(width, height, header.SharedPixelBits());  // same layout: shared, not copied
    return nullptr;
  }
  std::shared_ptr<std::uint8_t[]> raster = RasterForOverwrite(width, height);
  std::uint8_t* rows = raster.get();
  bitmap.AdoptPixels(width, height, std::move(raster));
  return rows;
}

const std::uint8_t* TPNGObject::ColourRow(std::uint32_t y, std::uint8_t* buffer) const {
  const TChunkIHDR& header = HeaderChunk();
  if (!header.Indexed()) return header.StorageRow(y);
  const StorageReader reader(header);
  reader.CopyColours(reader.Row(y), 0, header.Width(), buffer);
  return buffer;
}

void TPNGObject::AssignRows(std::uint8_t* raster, std::uint32_t first, std::uint32_t end) const {
  if (raster != nullptr) ExpandIndexed(HeaderChunk(), raster, first, end);
}

void TPNGObject::Draw(TCanvas& canvas, const TRect& rect) const {
  if (Empty()) return;
  const TChunkIHDR& header = HeaderChunk();
  if (header.PixelBits() == nullptr) return;  // a header that failed its checks has no pixels
  switch (AlphaKind()) {
    case akColorKey:
      DrawPixels(header, canvas.Target(), rect, /*keyed=*/true, ColorToRGB(ImageKeyColor()));
      break;
    case akAlpha:
      AlphaBlender(*this, canvas.Target(), rect).Run();
      break;
    case akNone:
      DrawPixels(header, canvas.Target(), rect, /*keyed=*/false, 0);
      break;
  }
}

}  // namespace quillamar::png
