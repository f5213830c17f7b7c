// Small PDFs written by the tests and PNG pages read back.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillamar::testing {

/// One page of a generated PDF: its media box in points, its /Rotate and its content stream.
struct TestPage {
  double width = 595.28;
  double height = 841.89;
  int rotate = 0;
  std::string content;
};

/// A complete PDF (catalog, page tree, Helvetica as /F1, correct cross-reference table).
/// more_fonts goes into every page's font resources after /F1 ("/F2 << ... >>").
std::string MakePdf(const std::vector<TestPage>& pages, const std::string& more_fonts = {});

/// Content that fills a rectangle (in points, from the bottom left) with an RGB colour (0-255).
std::string FillRect(double x, double y, double width, double height, int red, int green, int blue);

/// Content that writes text in black Helvetica at (x, y).
std::string ShowText(double x, double y, double size, const std::string& text);

/// A decoded PNG page as 8-bit RGB, and its header fields.
struct PngPage {
  int width = 0;
  int height = 0;
  int bit_depth = 0;
  int colour_type = 0;
  int interlace = 0;
  std::vector<unsigned char> rgb;
  std::string error;  ///< empty when the file was read completely

  /// The pixel at (x, y) as 0xRRGGBB.
  unsigned Pixel(int x, int y) const;
};
PngPage ReadPng(const std::filesystem::path& path);

/// Where the first difference between two pages lies, or "" when they are identical.
std::string FirstDifference(const PngPage& ours, const PngPage& reference);

}  // namespace quillamar::testing
