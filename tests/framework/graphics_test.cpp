// Bitmaps (shared storage, copy on write), canvases, generic assignment and messages.
#include "framework/graphics.h"

#include <gtest/gtest.h>

#include "framework/exceptions.h"
#include "support/images.h"
#include "support/named_cases.h"

namespace quillamar {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

// A graphic of another class that knows nothing of bitmaps.
class ForeignGraphic : public TGraphic {
 public:
  const char* ClassName() const override { return "TForeign"; }
  void Draw(TCanvas&, const TRect&) const override { ++draws; }
  int Width() const override { return width; }
  int Height() const override { return 2; }
  void SetWidth(int) override {}
  void SetHeight(int) override {}
  bool Empty() const override { return width == 0; }
  int width = 3;
  mutable int draws = 0;
};

TEST(BitmapTest, RowsAreBottomUpAndPaddedToFourBytesAndSizeZeroIsEmpty) {
  TBitmap bitmap;
  EXPECT_TRUE(bitmap.Empty());
  bitmap.SetSize(4, 0);
  EXPECT_TRUE(bitmap.Empty());
  EXPECT_EQ(bitmap.Bits(), nullptr);
  bitmap.SetSize(5, 3);
  EXPECT_EQ(bitmap.RowStride(), 16u);  // 15 bytes of pixels, filled to 16
  EXPECT_EQ(TBitmap::RowStrideFor(4), 12u);
  EXPECT_EQ(TBitmap::RowStrideFor(1), 4u);
  EXPECT_EQ(bitmap.ScanLine(0), bitmap.Bits() + 2 * 16);  // the top row is stored last
  EXPECT_EQ(bitmap.ScanLine(2), bitmap.Bits());
  EXPECT_EQ(bitmap.ScanLine(1)[0], 0);  // new pixels are black
}

// Assigned or adopted pixels are shared, and copied only when one holder writes.
TEST(BitmapTest, AssignedAndAdoptedPixelsAreSharedUntilOneSideWrites) {
  TBitmap source;
  source.SetSize(2, 2);
  source.MutableScanLine(0)[0] = 7;
  source.SetTransparent(true);
  source.SetTransparentColor(RGB(1, 2, 3));

  TBitmap copy;
  copy.Assign(source);
  EXPECT_TRUE(copy.SharesPixelsWith(source));
  EXPECT_TRUE(copy.Transparent());
  EXPECT_EQ(copy.TransparentColor(), RGB(1, 2, 3));

  copy.MutableScanLine(0)[0] = 9;
  EXPECT_FALSE(copy.SharesPixelsWith(source));
  EXPECT_EQ(source.ScanLine(0)[0], 7);
  EXPECT_EQ(copy.ScanLine(0)[0], 9);

  auto pixels = std::make_shared<std::uint8_t[]>(TBitmap::RowStrideFor(3) * 2);
  pixels[0] = 42;
  copy.AdoptPixels(3, 2, pixels);
  EXPECT_EQ(copy.Bits(), pixels.get());
  copy.MutableBits()[0] = 1;  // someone else still holds them, so the write copies
  EXPECT_EQ(pixels[0], 42);
}

TEST(AssignTest, UnknownSourceRaisesTheGenericMessage) {
  TBitmap bitmap;
  ForeignGraphic foreign;
  EXPECT_EQ(testing::MessageOf<EConvertError>([&] { bitmap.Assign(foreign); }),
            "Cannot assign a TForeign to a TBitmap");
  EXPECT_EQ(testing::MessageOf<EConvertError>([&] { foreign.Assign(bitmap); }),
            "Cannot assign a TBitmap to a TForeign");
}

TEST(CanvasTest, DrawSetsTheColoursAndSkipsMissingOrEmptyGraphics) {
  TBitmap target;
  target.SetSize(4, 4);
  TCanvas& canvas = target.Canvas();
  EXPECT_EQ(canvas.BrushColor(), clWhite);
  EXPECT_EQ(canvas.FontColor(), clWindowText);

  ForeignGraphic graphic;
  canvas.Draw(0, 0, nullptr);
  graphic.width = 0;
  canvas.Draw(0, 0, &graphic);
  EXPECT_EQ(graphic.draws, 0);

  graphic.width = 3;
  canvas.SetBrushColor(clRed);
  canvas.Draw(1, 1, &graphic);
  EXPECT_EQ(graphic.draws, 1);
  EXPECT_EQ(canvas.BackgroundColor(), clRed);
  EXPECT_EQ(canvas.TextColor(), clBlack);  // the system colour resolved
}

TEST(CanvasTest, ABitmapDrawsItsPixelsAtThePoint) {
  TBitmap source;
  source.SetSize(2, 1);
  source.MutableScanLine(0)[3] = 200;  // blue of the right pixel
  TBitmap target;
  target.SetSize(3, 2);
  target.Canvas().Draw(1, 1, &source);
  EXPECT_EQ(target.ScanLine(1)[3 * 2], 200);
  EXPECT_EQ(target.ScanLine(0)[3 * 2], 0);
}

struct DisplayCase {
  const char* name;
  const char* message;
  const char* shown;
};

const DisplayCase kDisplayCases[] = {
    {"PlainGetsAFullStop", "Unable to create directory", "Unable to create directory."},
    {"FullStopStays", "Done.", "Done."},
    {"ParenthesisStays", "error (-2)", "error (-2)"},
    {"ChineseGetsAFullStop", "运行主程序错误", "运行主程序错误."},
    {"ExclamationStays", "错误!", "错误!"},
    {"EmptyStaysEmpty", "", ""},
};

class DisplayedMessageTest : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayedMessageTest, FullStopRule) {
  EXPECT_EQ(DisplayedMessage(GetParam().message), GetParam().shown);
}

QUILLAMAR_TABLE_TESTS(Messages, DisplayedMessageTest, kDisplayCases);

}  // namespace
}  // namespace quillamar
