// Picture classes: the graphic base, the 24-bit bitmap and the canvas that draws into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillamar {

class TStream;
class TCanvas;

/// A colour as 0x00BBGGRR; values with the top bit set name a system colour.
using TColor = std::uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clWindowText = 0x80000008;  ///< the system's window-text colour
constexpr TColor clBtnFace = 0x8000000F;     ///< the system's button-face colour

constexpr TColor RGB(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  return TColor{red} | (TColor{green} << 8) | (TColor{blue} << 16);
}

/// A plain RGB value unchanged; a system colour as the RGB value it stands for.
TColor ColorToRGB(TColor color);

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TRect&) const = default;
};

enum class TProgressStage { psStarting, psRunning, psEnding };

/// Listener of a graphic's progress reports (sender, stage, percentage, redraw, rectangle, text).
using TProgressEvent =
    std::function<void(const class TGraphic& sender, TProgressStage stage, int percent, bool redraw,
                       const TRect& rect, const std::string& message)>;

/// Base of every picture: assignment, drawing, size, emptiness, transparency, files.
class TGraphic {
 public:
  TGraphic() = default;
  virtual ~TGraphic() = default;
  TGraphic(const TGraphic&) = delete;
  TGraphic& operator=(const TGraphic&) = delete;

  /// The class name used in messages, e.g. "TBitmap".
  virtual const char* ClassName() const = 0;

  /// Takes the picture of source. The base cannot take anything itself, so it asks the source to
  /// assign itself (AssignTo).
  virtual void Assign(const TGraphic& source) { source.AssignTo(*this); }
  /// Gives this picture to dest; the base raises EConvertError "Cannot assign a %s to a %s".
  virtual void AssignTo(TGraphic& dest) const;

  /// Draws the picture into rect of the canvas's bitmap.
  virtual void Draw(TCanvas& canvas, const TRect& rect) const = 0;

  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual void SetWidth(int width) = 0;
  virtual void SetHeight(int height) = 0;
  virtual bool Empty() const = 0;
  virtual bool Transparent() const { return false; }

  /// Reads the picture from a stream; the base raises EInvalidGraphicOperation.
  virtual void ReadImage(TStream& stream);
  /// Writes the picture to a stream; the base raises EInvalidGraphicOperation.
  virtual void WriteImage(TStream& stream);

  /// Opens the file for reading (other readers allowed, writers refused) and reads it;
  /// EFOpenError when it cannot be opened.
  virtual void LoadFile(const std::string& path);
  /// Creates (or empties) the file and writes the picture; EFCreateError when it cannot.
  virtual void SaveFile(const std::string& path);

  /// Reports progress to OnProgress when one is attached.
  void Progress(TProgressStage stage, int percent, bool redraw, const TRect& rect,
                const std::string& message) const;
  TProgressEvent OnProgress;
};

/// A 24-bit blue-green-red raster, rows bottom-up, each row filled to a multiple of 4 bytes.
/// Bitmaps assigned from one another share their pixels until one of them writes (copy on
/// write). Carries a transparent flag and colour.
class TBitmap : public TGraphic {
 public:
  TBitmap();
  ~TBitmap() override;

  const char* ClassName() const override { return "TBitmap"; }
  /// From another TBitmap: shares its pixels and takes its transparent flag and colour; from
  /// anything else: asks the source to assign itself.
  void Assign(const TGraphic& source) override;
  /// Copies the pixels into rect (nearest pixel when the sizes differ), clipped to the target.
  void Draw(TCanvas& canvas, const TRect& rect) const override;

  int Width() const override { return width_; }
  int Height() const override { return height_; }
  void SetWidth(int width) override { SetSize(width, height_); }
  void SetHeight(int height) override { SetSize(width_, height); }
  bool Empty() const override { return width_ == 0 || height_ == 0; }
  bool Transparent() const override { return transparent_; }
  void SetTransparent(bool transparent) { transparent_ = transparent; }
  TColor TransparentColor() const { return transparent_color_; }
  void SetTransparentColor(TColor color) { transparent_color_ = color; }

  /// A new raster of the size, every pixel black; raises EOutOfMemory when it cannot be had.
  void SetSize(int width, int height);
  /// Takes a raster of RowStrideFor(width) × height bytes as it is, without copying; the bitmap
  /// shares it with whoever else holds it until one of them writes through a bitmap.
  void AdoptPixels(int width, int height, std::shared_ptr<std::uint8_t[]> bits);
  /// Drops the raster: width and height 0.
  void Clear();

  /// Bytes per row for a width: 3 per pixel, filled to a multiple of 4.
  static std::size_t RowStrideFor(int width);
  std::size_t RowStride() const { return RowStrideFor(width_); }
  /// Where row y (counted from the top) starts in a bottom-up raster of that width and height.
  static std::size_t RowOffsetFor(int width, int height, int y);
  /// The raster from the bottom row up; null when empty.
  const std::uint8_t* Bits() const { return bits_.get(); }
  /// The same for writing: the pixels are copied first when they are shared.
  std::uint8_t* MutableBits();
  /// Row y counted from the top.
  const std::uint8_t* ScanLine(int y) const;
  std::uint8_t* MutableScanLine(int y);
  /// True when both bitmaps read the same pixel memory.
  bool SharesPixelsWith(const TBitmap& other) const { return bits_ && bits_ == other.bits_; }

  TCanvas& Canvas() { return *canvas_; }

 private:
  std::size_t RowOffset(int y) const { return RowOffsetFor(width_, height_, y); }

  int width_ = 0;
  int height_ = 0;
  std::shared_ptr<std::uint8_t[]> bits_;
  bool transparent_ = false;
  TColor transparent_color_ = clBlack;
  std::unique_ptr<TCanvas> canvas_;
};

/// The drawing surface of a bitmap. Its brush starts white and its font in the window-text
/// colour; drawing a graphic first sets the background colour to the brush colour and the text
/// colour to the font colour.
class TCanvas {
 public:
  explicit TCanvas(TBitmap& target) : target_(target) {}

  /// Draws the graphic into (x, y, x + width, y + height); nothing for a missing or empty one.
  void Draw(int x, int y, const TGraphic* graphic);

  TBitmap& Target() { return target_; }
  TColor BrushColor() const { return brush_color_; }
  void SetBrushColor(TColor color) { brush_color_ = color; }
  TColor FontColor() const { return font_color_; }
  /// The colours the last Draw set up for drawing.
  TColor BackgroundColor() const { return background_color_; }
  TColor TextColor() const { return text_color_; }

 private:
  TBitmap& target_;
  TColor brush_color_ = clWhite;
  TColor font_color_ = clWindowText;
  TColor background_color_ = clWhite;
  TColor text_color_ = clBlack;
};

}  // namespace quillamar
