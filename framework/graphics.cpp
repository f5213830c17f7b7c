// The graphic base, the shared 24-bit bitmap and its canvas.
#include "framework/graphics.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "framework/exceptions.h"
#include "framework/streams.h"

namespace quillamar {

TColor ColorToRGB(TColor color) {
  if ((color & 0x80000000u) == 0) return color;
  switch (color) {
    case clWindowText:
      return clBlack;
    case clBtnFace:
      return RGB(0xF0, 0xF0, 0xF0);
    default:
      return clBlack;
  }
}

void TGraphic::AssignTo(TGraphic& dest) const {
  throw EConvertError(FormatMessage("Cannot assign a %s to a %s", ClassName(), dest.ClassName()));
}

void TGraphic::ReadImage(TStream&) {
  throw EInvalidGraphicOperation(FormatMessage("%s cannot be read", ClassName()));
}

void TGraphic::WriteImage(TStream&) {
  throw EInvalidGraphicOperation(FormatMessage("%s cannot be written", ClassName()));
}

void TGraphic::LoadFile(const std::string& path) {
  TFileStream stream(path, FileMode::kOpenReadDenyWrite);
  ReadImage(stream);
}

void TGraphic::SaveFile(const std::string& path) {
  TFileStream stream(path, FileMode::kCreate);
  WriteImage(stream);
}

void TGraphic::Progress(TProgressStage stage, int percent, bool redraw, const TRect& rect,
                        const std::string& message) const {
  if (OnProgress) OnProgress(*this, stage, percent, redraw, rect, message);
}

TBitmap::TBitmap() : canvas_(std::make_unique<TCanvas>(*this)) {}
TBitmap::~TBitmap() = default;

void TBitmap::Assign(const TGraphic& source) {
  const auto* bitmap = dynamic_cast<const TBitmap*>(&source);
  if (bitmap == nullptr) {
    TGraphic::Assign(source);
    return;
  }
  if (bitmap == this) return;
  width_ = bitmap->width_;
  height_ = bitmap->height_;
  bits_ = bitmap->bits_;
  transparent_ = bitmap->transparent_;
  transparent_color_ = bitmap->transparent_color_;
}

std::size_t TBitmap::RowStrideFor(int width) {
  return (static_cast<std::size_t>(std::max(width, 0)) * 3 + 3) & ~std::size_t{3};
}

void TBitmap::SetSize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == 0 || height == 0) {
    width_ = width;
    height_ = height;
    bits_.reset();
    return;
  }
  const std::size_t bytes = RowStrideFor(width) * static_cast<std::size_t>(height);
  std::shared_ptr<std::uint8_t[]> fresh;
  try {
    fresh = std::make_shared<std::uint8_t[]>(bytes);  // value-initialised: black
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory();
  }
  width_ = width;
  height_ = height;
  bits_ = std::move(fresh);
}

void TBitmap::AdoptPixels(int width, int height, std::shared_ptr<std::uint8_t[]> bits) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  bits_ = Empty() ? nullptr : std::move(bits);
}

void TBitmap::Clear() { SetSize(0, 0); }

std::uint8_t* TBitmap::MutableBits() {
  if (bits_ && bits_.use_count() > 1) {
    const std::size_t bytes = RowStride() * static_cast<std::size_t>(height_);
    std::shared_ptr<std::uint8_t[]> own;
    try {
      own = std::make_shared_for_overwrite<std::uint8_t[]>(bytes);
    } catch (const std::bad_alloc&) {
      throw EOutOfMemory();
    }
    std::memcpy(own.get(), bits_.get(), bytes);
    bits_ = std::move(own);
  }
  return bits_.get();
}

std::size_t TBitmap::RowOffsetFor(int width, int height, int y) {
  return RowStrideFor(width) * static_cast<std::size_t>(height - 1 - y);
}

const std::uint8_t* TBitmap::ScanLine(int y) const { return bits_.get() + RowOffset(y); }

std::uint8_t* TBitmap::MutableScanLine(int y) { return MutableBits() + RowOffset(y); }

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) const {
  TBitmap& target = canvas.Target();
  const int w = rect.Width();
  const int h = rect.Height();
  if (Empty() || w <= 0 || h <= 0 || &target == this) return;
  for (int y = std::max(rect.Top, 0); y < std::min(rect.Bottom, target.Height()); ++y) {
    const std::uint8_t* from = ScanLine(static_cast<int>(std::int64_t{y - rect.Top} * height_ / h));
    std::uint8_t* to = target.MutableScanLine(y);
    for (int x = std::max(rect.Left, 0); x < std::min(rect.Right, target.Width()); ++x) {
      const auto sx = static_cast<std::size_t>(std::int64_t{x - rect.Left} * width_ / w);
      std::memcpy(to + 3 * static_cast<std::size_t>(x), from + 3 * sx, 3);
    }
  }
}

void TCanvas::Draw(int x, int y, const TGraphic* graphic) {
  if (graphic == nullptr || graphic->Empty()) return;
  background_color_ = ColorToRGB(brush_color_);
  text_color_ = ColorToRGB(font_color_);
  graphic->Draw(*this, TRect{x, y, x + graphic->Width(), y + graphic->Height()});
}

}  // namespace quillamar
