// Bitmaps from pixel rules, JPEG decoding, PNG writing with libpng and the cjpeg tool.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/graphics.h"
#include "support/png_texts.h"

namespace quillamar::testing {

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
};

using PixelRule = std::function<Rgb(int x, int y)>;

/// A bitmap of the size whose pixel (x, y), counted from the top left, follows the rule.
std::unique_ptr<TBitmap> MakeBitmap(int width, int height, const PixelRule& rule);

/// A decoded JPEG: components 1 (grey) or 3 (red, green, blue), rows top first.
struct DecodedImage {
  int width = 0;
  int height = 0;
  int components = 0;
  std::vector<std::uint8_t> samples;
  Rgb At(int x, int y) const;
};

/// Decodes with libjpeg; nullopt when libjpeg reports a fatal error.
std::optional<DecodedImage> DecodeJpeg(const std::vector<std::uint8_t>& bytes);

/// The PNG colour types the tests write, all with 8 bits a sample.
enum class PngKind { kRgb, kGray, kPalette, kRgbAlpha, kGrayAlpha };

/// Writes a PNG with libpng whose pixel (x, y) has the rule's colour (the red sample for grey,
/// the palette entry for a palette image) and, where the kind has one, an alpha that varies.
/// Returns the bitmap of the colours a reader must give, alpha ignored.
std::unique_ptr<TBitmap> WritePng(const std::string& path, PngKind kind, int width, int height,
                                  const PixelRule& rule);

/// The message of the exception of class E that the action raises; a test failure and "" when
/// it raises none.
template <class E, class Action>
std::string MessageOf(const Action& action) {
  try {
    action();
  } catch (const E& e) {
    return e.Message();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

/// The PNG reader's message for a file that is not a PNG.
inline constexpr const char* kNotAPngText = png_texts::kExpectedInvalidFileHeader;
/// The PNG reader's message for a file cut short.
inline constexpr const char* kCutShortText = png_texts::kExpectedUnexpectedEnd;

inline constexpr char kCjpeg[] = "/usr/bin/cjpeg";

/// The file cjpeg writes from a PPM of the bitmap's pixels, with its extra arguments; its
/// files are made in the scratch folder.
std::vector<std::uint8_t> CjpegFile(const TBitmap& bitmap, const std::string& arguments,
                                    const std::string& scratch);

}  // namespace quillamar::testing
