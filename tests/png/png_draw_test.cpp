// Handing an image to a bitmap and drawing it: colours per format, key colours, alpha blending.
#include <gtest/gtest.h>

#include "framework/exceptions.h"
#include "png/png_object.h"
#include "support/images.h"
#include "support/named_cases.h"
#include "tests/png/png_builder.h"

namespace quillamar::png {
namespace {

using namespace testing;  // the test-side PNG writer

using quillamar::testing::PrintTo;  // table rows print as their names

using Bgr = std::array<std::uint8_t, 3>;

// An image of the format with one row of filter-None data and optional chunks before the data.
std::string OneRow(int width, int depth, int color_type, const std::string& row,
                   const std::string& chunks = "") {
  return PngBuilder()
      .Ihdr(width, 1, depth, color_type)
      .Raw(chunks)
      .Idat(Deflate('\0' + row))
      .Iend()
      .Bytes();
}

// A bitmap of the size with every pixel the colour.
void Fill(TBitmap& bitmap, int width, int height, Bgr colour) {
  bitmap.SetSize(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      std::copy(colour.begin(), colour.end(), bitmap.MutableScanLine(y) + 3 * x);
  }
}

Bgr PixelAt(const TBitmap& bitmap, int x, int y) {
  const std::uint8_t* p = bitmap.ScanLine(y) + 3 * x;
  return {p[0], p[1], p[2]};
}

struct BlendCase {
  const char* name;
  std::string file;
  Bgr under;
  Bgr expected;
};

const std::string kTwoEntries =
    ChunkBytes("PLTE", "\x64\x64\x64\x10\x20\x30") + ChunkBytes("tRNS", "\x40\x20");

const BlendCase kBlendCases[] = {
    {"RgbaHalfAlpha", OneRow(1, 8, 6, "\x1e\x14\x0a\x80"), {200, 200, 200}, {105, 110, 115}},
    {"RgbaTransparent",
     OneRow(1, 8, 6, std::string("\x1e\x14\x0a\0", 4)),
     {200, 201, 202},
     {200, 201, 202}},
    {"RgbaOpaque", OneRow(1, 8, 6, "\x1e\x14\x0a\xff"), {200, 200, 200}, {10, 20, 30}},
    {"GreyAlphaOpaque", OneRow(1, 8, 4, "\x64\xff"), {7, 8, 9}, {100, 100, 100}},
    {"GreyAlphaTransparent", OneRow(1, 8, 4, std::string("\x64\0", 2)), {7, 8, 9}, {7, 8, 9}},
    {"PaletteEntryAlpha64",
     OneRow(1, 8, 3, std::string(1, '\0'), kTwoEntries),
     {255, 255, 255},
     {216, 216, 216}},
};

class PngBlend : public ::testing::TestWithParam<BlendCase> {};

TEST_P(PngBlend, OnePixelOverAKnownBackground) {
  TPNGObject image;
  ReadBytes(image, GetParam().file);
  TBitmap target;
  Fill(target, 1, 1, GetParam().under);
  target.Canvas().Draw(0, 0, &image);
  EXPECT_EQ(PixelAt(target, 0, 0), GetParam().expected);
}

QUILLAMAR_TABLE_TESTS(Figures, PngBlend, kBlendCases);

TEST(PngBlendRow, OneBitPaletteBlendsEachPixelAndNothingBeyond) {
  // Entry 0: black, alpha 0; entry 1: red 200 green 100 blue 50, alpha 128.
  const std::string chunks = ChunkBytes("PLTE", std::string("\0\0\0\xc8\x64\x32", 6)) +
                             ChunkBytes("tRNS", std::string("\0\x80", 2));
  TPNGObject image;
  ReadBytes(image, OneRow(10, 1, 3, std::string("\xa7\0", 2), chunks));  // bits 1010011100
  TBitmap target;
  Fill(target, 12, 1, {10, 20, 30});
  image.Draw(target.Canvas(), TRect{0, 0, 10, 1});
  const Bgr blended = {static_cast<std::uint8_t>((50 * 128 + 127 * 10 + 255) >> 8),
                       static_cast<std::uint8_t>((100 * 128 + 127 * 20 + 255) >> 8),
                       static_cast<std::uint8_t>((200 * 128 + 127 * 30 + 255) >> 8)};
  const bool set[10] = {true, false, true, false, false, true, true, true, false, false};
  for (int x = 0; x < 10; ++x)
    EXPECT_EQ(PixelAt(target, x, 0), set[x] ? blended : Bgr({10, 20, 30})) << x;
  EXPECT_EQ(PixelAt(target, 10, 0), Bgr({10, 20, 30}));
  EXPECT_EQ(PixelAt(target, 11, 0), Bgr({10, 20, 30}));
}

TEST(PngBlendRow, StretchedDrawingRepeatsSourcePixelsAnEmptyRectangleDrawsNothing) {
  TPNGObject image;
  ReadBytes(image, OneRow(2, 8, 6, std::string("\x01\x02\x03\xff\x04\x05\x06\xff", 8)));
  TBitmap target;
  Fill(target, 4, 2, {0, 0, 0});
  image.Draw(target.Canvas(), TRect{0, 0, 0, 2});
  EXPECT_EQ(PixelAt(target, 0, 0), Bgr({0, 0, 0}));
  image.Draw(target.Canvas(), TRect{0, 0, 4, 2});
  EXPECT_EQ(PixelAt(target, 1, 1), Bgr({3, 2, 1}));
  EXPECT_EQ(PixelAt(target, 2, 0), Bgr({6, 5, 4}));
}

// An entry beyond the palette, and palette alphas without a palette: the missing entry's error.
TEST(PngBlendErrors, MissingEntryLeavesTheTargetAsItWas) {
  for (const std::string& file :
       {OneRow(2, 8, 3, std::string("\0\5", 2), kTwoEntries),
        OneRow(2, 8, 3, std::string(2, '\0'), ChunkBytes("tRNS", "\x40\x20"))}) {
    TPNGObject image;
    ReadBytes(image, file);
    TBitmap bitmap;
    bitmap.Assign(image);
    EXPECT_EQ(PixelAt(bitmap, 1, 0), Bgr({0, 0, 0}));  // assignment shows it black
    Fill(bitmap, 2, 1, {9, 9, 9});
    EXPECT_THROW(bitmap.Canvas().Draw(0, 0, &image), EPngError);
    EXPECT_EQ(PixelAt(bitmap, 0, 0), Bgr({9, 9, 9}));
  }
}

// ---- opaque drawing at the image's own size: whole runs of a row at once ----

struct RunCase {
  const char* name;
  std::string file;  // 3 × 1 pixels
  std::array<Bgr, 3> colours;
};

const std::string kThreeEntries = ChunkBytes("PLTE", "\x0a\x14\x1e\x28\x32\x3c\x46\x50\x5a");

const RunCase kRunCases[] = {
    {"Grey8", OneRow(3, 8, 0, "\x10\x20\x30"), {{{16, 16, 16}, {32, 32, 32}, {48, 48, 48}}}},
    {"Grey4", OneRow(3, 4, 0, "\x12\x30"), {{{17, 17, 17}, {34, 34, 34}, {51, 51, 51}}}},
    {"Palette8",
     OneRow(3, 8, 3, std::string("\x02\x00\x01", 3), kThreeEntries),
     {{{90, 80, 70}, {30, 20, 10}, {60, 50, 40}}}},
    {"Palette1",
     OneRow(3, 1, 3, "\xa0", ChunkBytes("PLTE", "\x0a\x14\x1e\x28\x32\x3c")),
     {{{60, 50, 40}, {30, 20, 10}, {60, 50, 40}}}},
    {"Rgb",
     OneRow(3, 8, 2, "\x01\x02\x03\x04\x05\x06\x07\x08\x09"),
     {{{3, 2, 1}, {6, 5, 4}, {9, 8, 7}}}},
};

class PngRun : public ::testing::TestWithParam<RunCase> {};

// Drawn at x from -2 to 3 onto five white pixels: the visible part of the image lands, every
// pixel around it stays white.
TEST_P(PngRun, OffsetDrawingCopiesTheVisiblePixelsOnly) {
  TPNGObject image;
  ReadBytes(image, GetParam().file);
  const Bgr white{255, 255, 255};
  for (int left = -2; left <= 3; ++left) {
    TBitmap target;
    Fill(target, 5, 1, white);
    target.Canvas().Draw(left, 0, &image);
    for (int x = 0; x < 5; ++x) {
      const int source = x - left;
      const Bgr expected =
          source >= 0 && source < 3 ? GetParam().colours[static_cast<std::size_t>(source)] : white;
      EXPECT_EQ(PixelAt(target, x, 0), expected) << "drawn at " << left << ", pixel " << x;
    }
  }
}

QUILLAMAR_TABLE_TESTS(Formats, PngRun, kRunCases);

// ---- assignment, then drawing on the same bitmap, as the page re-encoder does ----

struct AssignCase {
  const char* name;
  std::string file;
  Bgr first_pixel;  // after assignment
  bool changed_by_drawing;
  std::vector<std::uint8_t> drawn_blues = {};  // of the two pixels after drawing, when given
};

const AssignCase kAssignCases[] = {
    {"Rgb", OneRow(2, 8, 2, "\x01\x02\x03\x04\x05\x06"), {3, 2, 1}, false},
    {"RgbKey",
     OneRow(2, 8, 2, "\x01\x02\x03\x04\x05\x06",
            ChunkBytes("tRNS", std::string("\0\x01\0\x02\0\x03", 6))),
     {3, 2, 1},
     false},
    {"RgbaIgnoresAlpha",
     OneRow(2, 8, 6, std::string("\x01\x02\x03\0\x04\x05\x06\x80", 8)),
     {3, 2, 1},
     false},
    {"GreyRamp2Bit", OneRow(2, 2, 0, "\x70"), {85, 85, 85}, false},
    {"PaletteAlpha", OneRow(2, 8, 3, std::string("\0\1", 2), kTwoEntries), {100, 100, 100}, false},
    {"GreyAlphaNoGamma", OneRow(2, 8, 4, "\x64\x80\x10\x00"), {100, 100, 100}, false},
    // Stored grey 128 at alpha 128 blends over the ramp colour 186; opaque, the stored grey stays.
    {"GreyAlphaWithGamma",
     OneRow(2, 8, 4, "\x80\x80\x10\xff", ChunkBytes("gAMA", BigEndian(100000))),
     {186, 186, 186},
     true,
     {(128 * 128 + 127 * 186 + 255) >> 8, 16}},
};

class PngAssign : public ::testing::TestWithParam<AssignCase> {};

TEST_P(PngAssign, DrawingOverTheAssignedBitmap) {
  TPNGObject image;
  ReadBytes(image, GetParam().file);
  TBitmap bitmap;
  bitmap.Assign(image);
  ASSERT_EQ(bitmap.Width(), image.Width());
  // A colour-key image marks the bitmap with its key; an alpha image does not.
  EXPECT_EQ(bitmap.Transparent(), image.AlphaKind() == akColorKey);
  if (bitmap.Transparent()) {
    EXPECT_EQ(bitmap.TransparentColor(), image.ImageKeyColor());
  }
  EXPECT_EQ(PixelAt(bitmap, 0, 0), GetParam().first_pixel);
  TBitmap before;
  before.Assign(bitmap);
  bitmap.Canvas().Draw(0, 0, &image);
  const bool changed = PixelAt(bitmap, 0, 0) != PixelAt(before, 0, 0) ||
                       PixelAt(bitmap, 1, 0) != PixelAt(before, 1, 0);
  EXPECT_EQ(changed, GetParam().changed_by_drawing);
  for (std::size_t x = 0; x < GetParam().drawn_blues.size(); ++x) {
    EXPECT_EQ(PixelAt(bitmap, static_cast<int>(x), 0)[0], GetParam().drawn_blues[x]) << x;
  }
}

QUILLAMAR_TABLE_TESTS(Formats, PngAssign, kAssignCases);

TEST(PngAssignKey, KeyColourPixelsKeepTheDestination) {
  TPNGObject image;
  ReadBytes(image, kAssignCases[1].file);  // pixel 0 has the key colour
  TBitmap target;
  Fill(target, 3, 1, {7, 7, 7});
  target.Canvas().Draw(0, 0, &image);
  EXPECT_EQ(PixelAt(target, 0, 0), Bgr({7, 7, 7}));
  EXPECT_EQ(PixelAt(target, 1, 0), Bgr({6, 5, 4}));
  EXPECT_EQ(PixelAt(target, 2, 0), Bgr({7, 7, 7}));
}

TEST(PngAssignStorage, ColourImageSharesItsStorageUntilTheBitmapWrites) {
  TPNGObject image;
  ReadBytes(image, kAssignCases[0].file);
  TBitmap bitmap;
  bitmap.Assign(image);
  EXPECT_EQ(bitmap.Bits(), image.HeaderChunk().PixelBits());
  bitmap.Canvas().Draw(0, 0, &image);
  EXPECT_EQ(bitmap.Bits(), image.HeaderChunk().PixelBits());  // drawing itself changes nothing
  bitmap.MutableScanLine(0)[0] = 99;
  EXPECT_NE(bitmap.Bits(), image.HeaderChunk().PixelBits());
  EXPECT_EQ(image.RowAddress(0)[0], 3);
}

TEST(PngAssignStorage, OpaqueDrawingAtAnOffsetIsClipped) {
  TPNGObject image;
  ReadBytes(image, PngBuilder()
                       .Ihdr(2, 2, 8, 0)
                       .Idat(Deflate(std::string("\0\x10\x20\0\x30\x40", 6)))
                       .Iend()
                       .Bytes());
  TBitmap target;
  Fill(target, 2, 2, {255, 255, 255});
  target.Canvas().Draw(1, 1, &image);
  EXPECT_EQ(PixelAt(target, 0, 0), Bgr({255, 255, 255}));
  EXPECT_EQ(PixelAt(target, 1, 0), Bgr({255, 255, 255}));
  EXPECT_EQ(PixelAt(target, 1, 1), Bgr({0x10, 0x10, 0x10}));
}

TEST(PngAssignErrors, ImageWithoutHeaderOrForeignClassCannotBeAssigned) {
  TPNGObject empty;
  TBitmap bitmap;
  EXPECT_EQ(quillamar::testing::MessageOf<EConvertError>([&] { bitmap.Assign(empty); }),
            "Cannot assign a TPNGObject to a TBitmap");
  TPNGObject image;
  EXPECT_THROW(image.Assign(bitmap), EConvertError);
}

TEST(PngAssignErrors, HeaderWithoutStorageLeavesTheBitmapEmpty) {
  TPNGObject image;
  EXPECT_THROW(ReadBytes(image, PngBuilder().Ihdr(70000, 1, 8, 2).Bytes()), EPNGSizeExceeds);
  TBitmap bitmap;
  Fill(bitmap, 2, 2, {1, 1, 1});
  bitmap.Assign(image);
  EXPECT_TRUE(bitmap.Empty());
  bitmap.Canvas().Draw(0, 0, &image);  // a header without pixels draws nothing
}

}  // namespace
}  // namespace quillamar::png
