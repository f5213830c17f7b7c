// Every failure the reader can report: which class, which message, and what the image holds after.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <typeindex>

#include "framework/exceptions.h"
#include "png/png_object.h"
#include "support/images.h"
#include "support/named_cases.h"
#include "support/png_texts.h"
#include "tests/png/png_builder.h"

namespace quillamar::png {
namespace {

using namespace testing;                        // the test-side PNG writer
using namespace quillamar::testing::png_texts;  // the messages, written out

using quillamar::testing::PrintTo;  // table rows print as their names

// A 2 × 2 8-bit grey image: header and its complete image data.
PngBuilder GreyImage() {
  return PngBuilder().Ihdr(2, 2, 8, 0).Idat(Deflate(std::string("\0\1\2\0\3\4", 6)));
}

// The 13 data bytes of a 1 × 1 8-bit grey image's header, after signature, length and type.
std::string HeaderData(int compression = 0) {
  return PngBuilder().Ihdr(1, 1, 8, 0, 0, compression).Bytes().substr(16, 13);
}

// Reading the file the builder makes.
std::function<void(TPNGObject&)> Reads(const PngBuilder& builder) {
  return [bytes = builder.Bytes()](TPNGObject& image) { ReadBytes(image, bytes); };
}

struct ErrorCase {
  const char* name;
  std::function<void(TPNGObject&)> act;
  std::type_index type;
  std::string message;
  int chunks_after;  // what ChunkItems holds after the failure; -1 when not of interest
};

const ErrorCase kErrorCases[] = {
    {"ShortSignature", [](TPNGObject& i) { ReadBytes(i, "\x89PNG"); },
     typeid(EPNGInvalidFileHeader), quillamar::testing::kNotAPngText, 0},
    {"EighthSignatureByte",
     [](TPNGObject& i) { ReadBytes(i, std::string("\x89PNG\r\n\x1a\x0b", 8) + "rest"); },
     typeid(EPNGInvalidFileHeader), quillamar::testing::kNotAPngText, 0},
    {"TextChunkFirst", Reads(PngBuilder().Chunk("tEXt", "a\0b").Ihdr(1, 1, 8, 0)),
     typeid(EPNGIHDRNotFirst), kExpectedIhdrNotFirst, 0},
    {"HeaderTypeInOtherCase", Reads(PngBuilder().Chunk("IHDr", HeaderData())),
     typeid(EPNGIHDRNotFirst), kExpectedIhdrNotFirst, 0},
    {"EndAfterImageData", Reads(GreyImage()),
     typeid(EPngUnexpectedEnd), quillamar::testing::kCutShortText, 2},
    {"LengthCutShort", Reads(GreyImage().Raw("\0\0")),
     typeid(EPngUnexpectedEnd), quillamar::testing::kCutShortText, 2},
    {"TypeCutShort", Reads(GreyImage().Raw(std::string("\0\0\0\0IE", 6))),
     typeid(EPngUnexpectedEnd), quillamar::testing::kCutShortText, 2},
    {"UnknownCriticalType", Reads(GreyImage().Chunk("ABCD", "")),
     typeid(EPNGUnknownCriticalChunk), kExpectedUnknownCriticalChunk, 3},
    {"ImageDataTypeInOtherCase", Reads(PngBuilder().Ihdr(1, 1, 8, 0).Chunk("Idat", "")),
     typeid(EPNGUnknownCriticalChunk), kExpectedUnknownCriticalChunk, 2},
    {"HeaderThenEnd", Reads(PngBuilder().Ihdr(1, 1, 8, 0).Iend()),
     typeid(EPNGNoImageData), kExpectedNoImageData, 2},
    {"EndCrcWrong", Reads(GreyImage().ChunkWithCrc("IEND", "", 0xAE426083)),
     typeid(EPngInvalidCRC), kExpectedInvalidCrc, 3},
    {"DataCutShort", Reads(PngBuilder().Ihdr(1, 1, 8, 0).Raw(BigEndian(100) + "tEXtabc")),
     typeid(EPngInvalidCRC), kExpectedInvalidCrc, 2},
    {"CrcCutShort", Reads(PngBuilder().Ihdr(1, 1, 8, 0).Raw(BigEndian(1) + "tEXtab")),
     typeid(EPngInvalidCRC), kExpectedInvalidCrc, 2},
    {"LengthOf2To31", Reads(GreyImage().Raw(BigEndian(0x80000000u) + "tEXt")),
     typeid(EPngInvalidCRC), kExpectedInvalidCrc, 2},
    {"ImageDataCrcWrong",
     Reads(PngBuilder()
               .Ihdr(1, 1, 8, 0)
               .ChunkWithCrc("IDAT", Deflate(std::string(2, '\0')), 7)
               .Iend()),
     typeid(EPngInvalidCRC), kExpectedInvalidCrc, 2},
    {"ContinuationCrcWrong",
     [](TPNGObject& i) {
       const std::string zlib = Deflate(std::string(2, '\0'));
       Reads(PngBuilder()
                 .Ihdr(1, 1, 8, 0)
                 .Chunk("IDAT", zlib.substr(0, 3))
                 .ChunkWithCrc("IDAT", zlib.substr(3), 7)
                 .Iend())(i);
     },
     typeid(EPngInvalidCRC), kExpectedInvalidCrc, 2},
    {"CutInsideImageData",
     [](TPNGObject& i) {
       const std::string whole = GreyImage().Iend().Bytes();
       ReadBytes(i, whole.substr(0, 33 + 8 + 4));
     },
     typeid(EPngInvalidCRC), kExpectedInvalidCrc, 2},
    {"HeaderQueryOnEmptyImage", [](TPNGObject& i) { i.HeaderChunk(); },
     typeid(EPNGHeaderNotPresent), kExpectedHeaderNotPresent, 0},
    {"AlphaKindOnEmptyImage", [](TPNGObject& i) { (void)i.AlphaKind(); },
     typeid(EPNGHeaderNotPresent), kExpectedHeaderNotPresent, 0},
    {"HeaderOf12Bytes",
     Reads(PngBuilder().Chunk("IHDR", HeaderData(/*compression=*/1).substr(0, 12))),
     typeid(EPngInvalidIHDR), kExpectedInvalidIhdr, 1},
    {"ColourType1", Reads(PngBuilder().Ihdr(1, 1, 8, 1)),
     typeid(EPngInvalidIHDR), kExpectedInvalidIhdr, 1},
    {"GreyDepth3", Reads(PngBuilder().Ihdr(1, 1, 3, 0)),
     typeid(EPngInvalidIHDR), kExpectedInvalidIhdr, 1},
    {"PaletteDepth16", Reads(PngBuilder().Ihdr(1, 1, 16, 3)),
     typeid(EPngInvalidIHDR), kExpectedInvalidIhdr, 1},
    {"RgbDepth4", Reads(PngBuilder().Ihdr(1, 1, 4, 2)),
     typeid(EPngInvalidIHDR), kExpectedInvalidIhdr, 1},
    {"WidthZero", Reads(PngBuilder().Ihdr(0, 1, 8, 0)),
     typeid(EPngInvalidIHDR), kExpectedInvalidIhdr, 1},
    {"HeightZero", Reads(PngBuilder().Ihdr(1, 0, 8, 0)),
     typeid(EPngInvalidIHDR), kExpectedInvalidIhdr, 1},
    {"Width65536", Reads(PngBuilder().Ihdr(65536, 1, 8, 0)),
     typeid(EPNGSizeExceeds), kExpectedSizeExceeds, 1},
    {"CompressionMethod1", Reads(PngBuilder().Ihdr(1, 1, 8, 0, 0, 1)),
     typeid(EPNGUnknownCompression), kExpectedUnknownCompression, 1},
    {"InterlaceMethod2", Reads(PngBuilder().Ihdr(1, 1, 8, 0, 2)),
     typeid(EPNGUnknownInterlace), kExpectedUnknownInterlace, 1},
    {"PaletteOf769Bytes", Reads(PngBuilder().Ihdr(1, 1, 8, 3).Chunk("PLTE", std::string(769, 'p'))),
     typeid(EPNGInvalidPalette), kExpectedInvalidPalette, 2},
    {"PaletteOf257Entries",
     Reads(PngBuilder().Ihdr(1, 1, 8, 3).Chunk("PLTE", std::string(771, 'p'))),
     typeid(EPNGInvalidPalette), kExpectedInvalidPalette, 2},
    {"TransparencyOf257Bytes",
     Reads(PngBuilder().Ihdr(1, 1, 8, 3).Chunk("tRNS", std::string(257, 't'))),
     typeid(EPNGInvalidPalette), kExpectedInvalidPalette, 2},
    {"EndWhileRowsOwed",
     [](TPNGObject& i) {
       const std::string zlib = Deflate(std::string("\0\1\2\0\3\4", 6));
       Reads(PngBuilder().Ihdr(2, 2, 8, 0).Chunk("IDAT", zlib.substr(0, 4)).Iend())(i);
     },
     typeid(EPNGMissingMultipleIDAT), kExpectedMissingMultipleIdat, 2},
    {"CorruptDeflate",
     Reads(PngBuilder().Ihdr(1, 1, 8, 0).Chunk("IDAT", "\x78\x9c\xff\xff\xff\xff").Iend()),
     typeid(EPNGZLIBError), std::string(kExpectedZlibPrefix) + "data error (-3)", 2},
    {"PresetDictionary",
     Reads(PngBuilder()
               .Ihdr(1, 1, 8, 0)
               .Chunk("IDAT", std::string("\x78\xbb\0\0\0\1\3\0", 8))
               .Iend()),
     typeid(EPNGZLIBError), std::string(kExpectedZlibPrefix) + "stream error (-2)", 2},
    {"KeyEntryBeyondPalette",
     [](TPNGObject& i) {
       Reads(PngBuilder()
                 .Ihdr(1, 1, 8, 3)
                 .Chunk("PLTE", std::string(9, 'p'))
                 .Chunk("tRNS", std::string("\xff\xff\xff\xff\xff\0", 6))
                 .Idat(Deflate(std::string(2, '\0')))
                 .Iend())(i);
       (void)i.ImageKeyColor();
     },
     typeid(EPngError), kExpectedNoSuchPaletteEntry, 5},
    {"SetWidth", [](TPNGObject& i) { i.SetWidth(3); }, typeid(EPngError), kExpectedCannotResize, 0},
    {"SetHeight", [](TPNGObject& i) { i.SetHeight(3); }, typeid(EPngError), kExpectedCannotResize,
     0},
    {"HeaderFromOtherClass", [](TPNGObject& i) { TChunkIHDR(&i).CopyFrom(TChunk(&i)); },
     typeid(EPngError), kExpectedIncompatibleChunks, 0},
    {"PaletteFromOtherClass", [](TPNGObject& i) { TChunkPLTE(&i).CopyFrom(TChunkgAMA(&i)); },
     typeid(EPngError), kExpectedIncompatibleChunks, 0},
    {"GammaFromOtherClass", [](TPNGObject& i) { TChunkgAMA(&i).CopyFrom(TChunkPLTE(&i)); },
     typeid(EPngError), kExpectedIncompatibleChunks, 0},
    {"AlphaDrawingTooLarge",
     [](TPNGObject& i) {
       Reads(PngBuilder().Ihdr(1, 1, 8, 6).Idat(Deflate(std::string(5, '\x80'))).Iend())(i);
       TBitmap target;
       i.Draw(target.Canvas(), TRect{0, 0, 70000, 70000});
     },
     typeid(EPNGOutMemory), kExpectedOutOfResources, 3},
    {"SecondHeaderBeyondLimit",  // 768 MiB each: every header of the image counts
     Reads(PngBuilder().Ihdr(16384, 16384, 8, 2).Ihdr(16384, 16384, 8, 2)),
     typeid(EOutOfMemory), "Out of memory", 2},
    {"StorageAboveLimit", Reads(PngBuilder().Ihdr(65535, 65535, 8, 2)),
     typeid(EOutOfMemory), "Out of memory", 1},
};

class PngErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PngErrorTest, RaisesItsClassWithItsMessage) {
  const ErrorCase& c = GetParam();
  TPNGObject image;
  try {
    c.act(image);
    FAIL() << "nothing raised";
  } catch (const Exception& error) {
    EXPECT_EQ(std::type_index(typeid(error)), c.type);
    EXPECT_EQ(error.Message(), c.message);
    // Caught as EPngError, a CRC failure must not be: the classes stand side by side.
    EXPECT_EQ(dynamic_cast<const EPngError*>(&error) != nullptr, c.type == typeid(EPngError));
  }
  if (c.chunks_after >= 0) {
    EXPECT_EQ(image.ChunkItems().Count(), static_cast<std::uint32_t>(c.chunks_after));
  }
}

QUILLAMAR_TABLE_TESTS(ErrorTable, PngErrorTest, kErrorCases);

TEST(PngErrorTable, EveryPngClassIsRaisedByARow) {
  std::set<std::type_index> listed;
#define QUILLAMAR_LIST_CLASS(cls, name, text) listed.insert(typeid(cls));
  QUILLAMAR_PNG_MESSAGES(QUILLAMAR_LIST_CLASS)
#undef QUILLAMAR_LIST_CLASS
  std::set<std::type_index> raised;
  for (const ErrorCase& c : kErrorCases) raised.insert(c.type);
  EXPECT_EQ(listed.size(), 16u);
  for (const auto& type : listed) EXPECT_TRUE(raised.count(type)) << type.name();
}

TEST(PngErrorState, UnexpectedEndKeepsTheDecodedImage) {
  TPNGObject image;
  EXPECT_THROW(ReadBytes(image, GreyImage().Bytes()), EPngUnexpectedEnd);
  ASSERT_TRUE(image.HasHeader());
  EXPECT_EQ(image.Width(), 2);
  EXPECT_EQ(image.RowAddress(1)[0], 3);
  EXPECT_EQ(image.RowAddress(1)[1], 4);
}

// Stored rows whose zlib check value is wrong while every chunk CRC is right: a damaged
// stream by default, the same rows when the check value is skipped.
TEST(PngErrorState, WrongZlibCheckValueCountsOnlyWhenChecked) {
  std::string zlib = Deflate(std::string("\0\1\2\0\3\4", 6), 0);
  zlib.back() = static_cast<char>(zlib.back() ^ 1);
  const std::string bytes = PngBuilder().Ihdr(2, 2, 8, 0).Idat(zlib).Iend().Bytes();
  TPNGObject checked;
  EXPECT_THROW(ReadBytes(checked, bytes), EPNGZLIBError);
  TPNGObject trusting;
  ReadBytes(trusting, bytes, ReadOptions{.skip_zlib_check_value = true});
  EXPECT_EQ(StorageRow(trusting, 1)[0], 3);
  EXPECT_EQ(StorageRow(trusting, 1)[1], 4);
}

TEST(PngErrorState, FileThatCannotBeOpenedRaisesTheFrameworkError) {
  TPNGObject image;
  EXPECT_THROW(image.LoadFile("no/such/folder/page_1.png"), EFOpenError);
}

}  // namespace
}  // namespace quillamar::png
