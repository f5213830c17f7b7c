// The files TJPEGImage writes are byte for byte those of libjpeg's own cjpeg for the same pixels:
// this pins the headers, the tables, the colours and the orientation of the rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "framework/streams.h"
#include "jpeg/jpeg.h"
#include "support/images.h"
#include "support/named_cases.h"
#include "support/temp_dir.h"

namespace quillamar {
namespace {

using testing::CjpegFile;
using testing::MakeBitmap;
using testing::PixelRule;
using testing::Rgb;

// A photo-like picture: smooth colour ramps with a little deterministic grain.
Rgb Gradient(int x, int y) {
  const int grain = static_cast<int>((x * 7919u + y * 104729u) % 17u) - 8;
  auto clamp = [](int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); };
  return {clamp(x * 255 / 256 + grain), clamp(y * 255 / 192 - grain),
          clamp(static_cast<int>(128 + 100 * std::sin(x * 0.05 + y * 0.03)))};
}

// A text page: white paper with dark glyph-like strokes in lines.
Rgb Page(int x, int y) {
  const bool in_line = (y % 24) >= 6 && (y % 24) < 18;
  const bool stroke = ((x / 3) * 31 + (y % 24) * 7) % 11 < 4 && (x % 70) < 60;
  if (x < 60 || x > 1180 || !in_line || !stroke) return {255, 255, 255};
  return {20, 20, 30};
}

Rgb Checker(int x, int y) { return (x + y) % 2 ? Rgb{250, 10, 10} : Rgb{10, 10, 250}; }

struct IdentityCase {
  const char* name;
  int width;
  int height;
  Rgb (*pixel)(int, int);
  bool gray;
  bool progressive;
};

const IdentityCase kIdentityCases[] = {
    {"OnePixel", 1, 1, Checker, false, false},
    {"SeventeenByNine", 17, 9, Gradient, false, false},
    {"OddWidthThree", 3, 5, Checker, false, false},
    {"OddWidthHundredOne", 101, 7, Gradient, false, false},
    {"OneColumn", 1, 33, Gradient, false, false},
    {"OneRow", 40, 1, Gradient, false, false},
    {"PhotoGradient", 256, 192, Gradient, false, false},
    {"TextPage", 1240, 1754, Page, false, false},
    {"GrayGradient", 99, 61, Gradient, true, false},
    {"ProgressiveGradient", 99, 61, Gradient, false, true},
};

class CjpegIdentityTest : public ::testing::TestWithParam<IdentityCase> {
 protected:
  void SetUp() override {
    if (::access(testing::kCjpeg, X_OK) != 0) {
      GTEST_SKIP() << testing::kCjpeg << " is missing (Debian package libjpeg-turbo-progs)";
    }
  }
};

TEST_P(CjpegIdentityTest, SameBytes) {
  const IdentityCase& c = GetParam();
  const auto bitmap = MakeBitmap(c.width, c.height, c.pixel);
  TJPEGImage image;
  image.Settings().GrayOutput = c.gray;
  image.Settings().ProgressiveOutput = c.progressive;
  image.Assign(*bitmap);
  TMemoryStream stream;
  image.WriteImage(stream);
  const std::vector<std::uint8_t> ours(stream.Memory(), stream.Memory() + stream.Size());

  std::string arguments = "-quality 90 -baseline -dct float";
  if (c.gray) arguments += " -grayscale";
  if (c.progressive) arguments += " -progressive";
  const testing::TempDir folder;
  const std::vector<std::uint8_t> reference = CjpegFile(*bitmap, arguments, folder.path());
  ASSERT_FALSE(reference.empty());
  ASSERT_EQ(ours.size(), reference.size());
  const auto mismatch = std::mismatch(ours.begin(), ours.end(), reference.begin());
  EXPECT_EQ(mismatch.first, ours.end())
      << "first differing byte at " << (mismatch.first - ours.begin());
}

QUILLAMAR_TABLE_TESTS(Pictures, CjpegIdentityTest, kIdentityCases);

}  // namespace
}  // namespace quillamar
