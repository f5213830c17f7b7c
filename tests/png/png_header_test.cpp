// The header and its storage, the palette, transparency and gamma chunks, and the image queries
// built on them.
#include <gtest/gtest.h>

#include "png/png_object.h"
#include "support/named_cases.h"
#include "tests/png/png_builder.h"

namespace quillamar::png {
namespace {

using namespace testing;  // the test-side PNG writer

using quillamar::testing::PrintTo;  // table rows print as their names

// An image of the format whose data are all zero (every row filter None).
std::string ZeroImage(std::uint32_t width, std::uint32_t height, int depth, int color_type,
                      const std::string& chunks_before_data = "") {
  const std::uint32_t row = FilteredRowBytesFor(width, static_cast<std::uint8_t>(depth),
                                                static_cast<std::uint8_t>(color_type));
  return PngBuilder()
      .Ihdr(width, height, depth, color_type)
      .Raw(chunks_before_data)
      .Idat(Deflate(std::string(std::size_t{row + 1} * height, '\0')))
      .Iend()
      .Bytes();
}

struct GeometryCase {
  const char* name;
  std::uint32_t width;
  int depth;
  int color_type;
  int row_stride;
  std::uint32_t filtered_row_bytes;
  std::uint32_t filter_stride;
  int storage_bits;
};

const GeometryCase kGeometryCases[] = {
    {"Rgb8Width1", 1, 8, 2, 4, 3, 3, 24},       {"Rgb8Width3", 3, 8, 2, 12, 9, 3, 24},
    {"Rgb8Width5", 5, 8, 2, 16, 15, 3, 24},     {"Grey1Width33", 33, 1, 0, 8, 5, 1, 1},
    {"Grey2Width5", 5, 2, 0, 4, 2, 1, 4},       {"Grey16Width3", 3, 16, 0, 4, 6, 2, 8},
    {"Rgb16Width2", 2, 16, 2, 8, 12, 6, 24},    {"Rgba16Width1", 1, 16, 6, 4, 8, 8, 24},
    {"GreyAlpha8Width5", 5, 8, 4, 8, 10, 2, 8}, {"Palette4Width9", 9, 4, 3, 8, 5, 1, 4},
};

class PngStorageGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(PngStorageGeometry, RowFiguresFollowTheFormat) {
  const GeometryCase& c = GetParam();
  TPNGObject image;
  ReadBytes(image, ZeroImage(c.width, 3, c.depth, c.color_type));
  const TChunkIHDR& header = image.HeaderChunk();
  EXPECT_EQ(header.RowStride(), c.row_stride);
  EXPECT_EQ(image.FilteredRowBytes(), c.filtered_row_bytes);
  EXPECT_EQ(image.FilterStride(), c.filter_stride);
  EXPECT_EQ(header.DibInfo().header.bit_count, c.storage_bits);
  EXPECT_EQ(header.Indexed(), c.storage_bits <= 8);
  EXPECT_EQ(header.AlphaPlane() != nullptr, c.color_type == 4 || c.color_type == 6);
  EXPECT_EQ(image.Palette() != nullptr, c.color_type == 0 || c.color_type == 3);
  // Row 0 lies at the highest address: the rows are stored bottom-up.
  EXPECT_EQ(image.RowAddress(0), header.PixelBits() + 2 * c.row_stride);
  EXPECT_EQ(image.RowAddress(2), header.PixelBits());
}

QUILLAMAR_TABLE_TESTS(Formats, PngStorageGeometry, kGeometryCases);

TEST(PngHeader, AcceptsTheLargestSideAndExtraBytes) {
  TPNGObject image;
  const std::string header = BigEndian(65535) + BigEndian(1) + std::string("\x08\0\0\0\0extra", 10);
  ReadBytes(
      image,
      PngBuilder().Chunk("IHDR", header).Idat(Deflate(std::string(65536, '\0'))).Iend().Bytes());
  EXPECT_EQ(image.Width(), 65535);
  EXPECT_EQ(image.Height(), 1);
  EXPECT_EQ(image.HeaderChunk().PayloadLength(), 18u);
}

TEST(PngHeader, CopyTakesFieldsPixelsAndColours) {
  TPNGObject source;
  ReadBytes(source, PngBuilder()
                        .Ihdr(2, 1, 8, 3)
                        .Chunk("PLTE", "\1\2\3\4\5\6")
                        .Idat(Deflate(std::string("\0\1\0", 3)))
                        .Iend()
                        .Bytes());
  TPNGObject copy;
  copy.Assign(source);
  ASSERT_EQ(copy.ChunkItems().Count(), source.ChunkItems().Count());
  EXPECT_NE(copy.HeaderChunk().PixelBits(), source.HeaderChunk().PixelBits());
  EXPECT_EQ(copy.RowAddress(0)[0], 1);
  EXPECT_EQ(copy.ChunkItems().FindByClass<TChunkPLTE>()->PaletteEntry(1), 0x040506u);
}

// ---- palette ----

TEST(PngPalette, ColoursGoToTheColourTableAndAnEmptyPaletteHasNoEntry) {
  TPNGObject image;
  ReadBytes(image, ZeroImage(1, 1, 8, 3, ChunkBytes("PLTE", "\x10\x20\x30\x40\x50\x60")));
  const auto* palette = image.ChunkItems().FindByClass<TChunkPLTE>();
  EXPECT_EQ(palette->EntryCount(), 2);
  EXPECT_EQ(palette->PaletteEntry(0), 0x102030u);
  const RgbQuad& second = image.HeaderChunk().DibInfo().colors[1];
  EXPECT_EQ(second.blue, 0x60);
  EXPECT_EQ(second.red, 0x40);
  EXPECT_THROW(palette->PaletteEntry(2), EPngError);
  const LogicalPalette* logical = image.Palette();
  ASSERT_NE(logical, nullptr);
  EXPECT_EQ(logical->entries[1].green, 0x50);
  EXPECT_EQ(logical->entries[2].red, 0);

  ReadBytes(image, ZeroImage(1, 1, 8, 3, ChunkBytes("PLTE", "")));
  palette = image.ChunkItems().FindByClass<TChunkPLTE>();
  EXPECT_EQ(palette->EntryCount(), 0);
  EXPECT_THROW(palette->PaletteEntry(0), EPngError);
}

// ---- transparency ----

struct TransparencyCase {
  const char* name;
  int color_type;
  std::string palette;
  std::string transparency;
  TAlphaKind kind;
  TColor key;
};

const TransparencyCase kTransparencyCases[] = {
    {"PaletteOneTransparentEntry", 3, "\1\2\3\4\5\6\7\x8\x9", std::string("\xff\0\xff", 3),
     akColorKey, RGB(4, 5, 6)},
    {"PalettePartialAlphas", 3, "\1\2\3\4\5\6\7\x8\x9", std::string("\xff\0\x80", 3), akAlpha,
     RGB(4, 5, 6)},
    {"PaletteSingleHalfAlpha", 3, "\1\2\3", "\x80", akColorKey, 0},
    {"PaletteWithoutPlte", 3, "", std::string("\0\xff", 2), akColorKey, 0},
    {"PaletteNoTransparency", 3, "\1\2\3", "", akNone, 0},
    {"GreyKeyUsesLowByte", 0, "", std::string("\0\x80", 2), akColorKey, RGB(128, 128, 128)},
    {"RgbKeyUsesLowBytes", 2, "", std::string("\0\xff\0\0\0\xff", 6), akColorKey, RGB(255, 0, 255)},
    {"GreyAlphaIsAlways", 4, "", "", akAlpha, 0},
    {"RgbAlphaIsAlways", 6, "", "", akAlpha, 0},
};

class PngTransparency : public ::testing::TestWithParam<TransparencyCase> {};

TEST_P(PngTransparency, KindAndKeyColour) {
  const TransparencyCase& c = GetParam();
  std::string chunks;
  if (!c.palette.empty()) chunks += ChunkBytes("PLTE", c.palette);
  if (!c.transparency.empty()) chunks += ChunkBytes("tRNS", c.transparency);
  TPNGObject image;
  ReadBytes(image, ZeroImage(1, 1, 8, c.color_type, chunks));
  EXPECT_EQ(image.AlphaKind(), c.kind);
  EXPECT_EQ(image.Transparent(), c.kind != akNone);
  EXPECT_EQ(image.ImageKeyColor(), c.key);
}

QUILLAMAR_TABLE_TESTS(Kinds, PngTransparency, kTransparencyCases);

// ---- gamma ----

std::string GammaChunk(std::string_view data) { return ChunkBytes("gAMA", data); }

struct GammaCase {
  const char* name;
  std::string chunks;
  std::uint32_t value;                       // of the last gAMA chunk
  std::vector<std::pair<int, int>> entries;  // (index, value) of the map; none: the identity
};

const GammaCase kGammaCases[] = {
    // 255 × (1/255)^(1/2.2) = 20.98
    {"PowerRoundsHalfToEven",
     GammaChunk(BigEndian(100000)),
     100000,
     {{0, 0}, {1, 21}, {128, 186}, {255, 255}}},
    {"StandardValueLeavesTheIdentity", GammaChunk(BigEndian(45455)), 45455, {}},
    {"ZeroValueKeepsTheMap",
     GammaChunk(BigEndian(100000)) + GammaChunk(BigEndian(0)),
     0,
     {{128, 186}}},
    {"WrongLengthCountsAsOne", GammaChunk("abc"), 1, {{254, 0}, {255, 255}}},
};

class PngGammaMap : public ::testing::TestWithParam<GammaCase> {};

TEST_P(PngGammaMap, FollowsTheChunks) {
  TPNGObject image;
  ReadBytes(image, ZeroImage(1, 1, 8, 2, GetParam().chunks));
  for (const auto& [index, value] : GetParam().entries) EXPECT_EQ(image.GammaMap()[index], value);
  for (int i = 0; GetParam().entries.empty() && i < 256; ++i) ASSERT_EQ(image.GammaMap()[i], i);
  TChunk* last = image.ChunkItems().Chunk(image.ChunkItems().Count() - 3);  // before IDAT
  EXPECT_EQ(dynamic_cast<TChunkgAMA&>(*last).GammaValue(), GetParam().value);
  EXPECT_EQ(last->PayloadLength(), 4u);  // a wrong length too
}

QUILLAMAR_TABLE_TESTS(Png, PngGammaMap, kGammaCases);

TEST(PngGamma, PaletteReadBeforeTheGammaKeepsItsColours) {
  TPNGObject before;
  ReadBytes(before, ZeroImage(1, 1, 8, 3,
                              ChunkBytes("PLTE", "\x80\x80\x80") + GammaChunk(BigEndian(100000))));
  EXPECT_EQ(before.ChunkItems().FindByClass<TChunkPLTE>()->PaletteEntry(0), 0x808080u);
  TPNGObject after;
  ReadBytes(after, ZeroImage(1, 1, 8, 3,
                             GammaChunk(BigEndian(100000)) + ChunkBytes("PLTE", "\x80\x80\x80")));
  EXPECT_EQ(after.ChunkItems().FindByClass<TChunkPLTE>()->PaletteEntry(0), 0xBABABAu);
}

TEST(PngGamma, GammaAfterTheImageDataChangesNoPixel) {
  TPNGObject image;
  const std::string data = Deflate(std::string("\0\x80\x80\x80", 4));
  ReadBytes(
      image,
      PngBuilder().Ihdr(1, 1, 8, 2).Idat(data).Chunk("gAMA", BigEndian(100000)).Iend().Bytes());
  EXPECT_EQ(image.RowAddress(0)[0], 0x80);
  EXPECT_EQ(image.GammaMap()[128], 186);
}

}  // namespace
}  // namespace quillamar::png
