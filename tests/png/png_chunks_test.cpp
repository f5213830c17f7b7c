// The chunk stream: loop order and skipping, the registry, the CRC, the lists and the ancillary
// chunk classes.
#include <gtest/gtest.h>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "framework/exceptions.h"
#include "png/png_crc.h"
#include "png/png_object.h"
#include "support/named_cases.h"
#include "tests/png/png_builder.h"

namespace quillamar::png {
namespace {

using namespace testing;  // the test-side PNG writer

using quillamar::testing::PrintTo;  // table rows print as their names

std::string TypeOf(const TChunk& chunk) {
  return std::string(chunk.ChunkType().begin(), chunk.ChunkType().end());
}

std::vector<std::string> Types(const TPNGObject& image) {
  std::vector<std::string> types;
  for (std::uint32_t i = 0; i < image.ChunkItems().Count(); ++i) {
    types.push_back(TypeOf(*image.ChunkItems().Chunk(i)));
  }
  return types;
}

const std::string kOneGreyPixel = Deflate(std::string("\0\x7f", 2));

PngBuilder OnePixel() { return PngBuilder().Ihdr(1, 1, 8, 0); }

TEST(PngChunkLoop, ChromaticityAndLaterImageDataAreSkippedUnread) {
  TPNGObject image;
  // The chromaticity and the second IDAT carry wrong CRCs: passed over by seeking, never checked.
  ReadBytes(image, OnePixel()
                       .ChunkWithCrc("cHRM", std::string(32, 'c'), 0)
                       .Idat(kOneGreyPixel)
                       .Chunk("tEXt", "k\0v")
                       .ChunkWithCrc("IDAT", "xx", 1)
                       .Iend()
                       .Bytes());
  EXPECT_EQ(Types(image), (std::vector<std::string>{"IHDR", "IDAT", "tEXt", "IEND"}));
  EXPECT_EQ(image.RowAddress(0)[0], 0x7f);
}

TEST(PngChunkLoop, UnregisteredAncillaryChunksKeepTheirData) {
  TPNGObject image;
  const std::string odd_type("\0abc", 4);
  ReadBytes(image, OnePixel()
                       .Chunk("pHYs", "nine byte")
                       .Chunk(odd_type, "z")
                       .Idat(kOneGreyPixel)
                       .Iend()
                       .Bytes());
  const TChunk& physical = *image.ChunkItems().Chunk(1);
  EXPECT_EQ(&physical.Class(), &ClassOf<TChunk>());
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(physical.Payload()), physical.PayloadLength()),
      "nine byte");
  EXPECT_EQ(TypeOf(*image.ChunkItems().Chunk(2)), odd_type);  // a zero first byte is not critical
}

TEST(PngChunkLoop, NothingAfterTheEndIsRead) {
  const std::string file = OnePixel().Idat(kOneGreyPixel).Iend().Bytes();
  BytesStream stream(file + "garbage that is no chunk");
  TPNGObject image;
  image.ReadImage(stream);
  EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(file.size()));
}

TEST(PngChunkLoop, ReadingAgainStartsFromNothing) {
  TPNGObject image;
  ReadBytes(image, OnePixel().Chunk("tEXt", "a\0b").Idat(kOneGreyPixel).Iend().Bytes());
  ReadBytes(image, OnePixel().Idat(kOneGreyPixel).Iend().Bytes());
  EXPECT_EQ(Types(image), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  image.ClearChunks();
  EXPECT_TRUE(image.Empty());
  EXPECT_FALSE(image.HasHeader());
  EXPECT_EQ(image.Width(), 0);
  EXPECT_EQ(image.FilteredRowBytes(), 0u);
}

TEST(PngRegistry, CreatesByExactTypeAndKeepsTheBytesAsRead) {
  TPNGObject image;
  const auto text = CreateChunkForType(&image, {'t', 'E', 'X', 't'});
  EXPECT_NE(dynamic_cast<TChunktEXt*>(text.get()), nullptr);
  EXPECT_EQ(text->OwnerImage(), &image);
  const auto other_case = CreateChunkForType(&image, {'t', 'E', 'X', 'T'});
  EXPECT_EQ(&other_case->Class(), &ClassOf<TChunk>());
  EXPECT_EQ(TypeOf(*other_case), "tEXT");
  EXPECT_EQ(TypeOf(TChunkzTXt(&image)), "zTXt");  // a class's own type when made directly
}

TEST(PngCrc, EndChunkCarriesTheKnownValue) {
  const std::uint8_t type[] = {'I', 'E', 'N', 'D'};
  EXPECT_EQ(Crc32Update(0xFFFFFFFFu, type, 4) ^ 0xFFFFFFFFu, 0xAE426082u);
  EXPECT_EQ(Crc32TableEntry(1), 0x77073096u);
  EXPECT_EQ(Crc32TableEntry(255), 0x2D02EF8Du);
}

#if defined(__x86_64__)
// The processor tells which register states are in use (XGETBV with ECX = 1); bit 2 is the
// upper halves of the 256-bit registers.
constexpr unsigned long long kUpperHalvesInUse = 1u << 2;

bool ReportsStatesInUse() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_OSXSAVE) == 0) return false;
  return __get_cpuid_count(0xD, 1, &a, &b, &c, &d) && (a & (1u << 2)) != 0;
}

__attribute__((target("xsave"))) unsigned long long StatesInUse() { return _xgetbv(1); }
__attribute__((target("avx"))) void ClearUpperHalves() { _mm256_zeroupper(); }

// Left in use, they slow down every later SSE instruction without the VEX prefix, such as
// libjpeg's floating-point DCT, to a fraction of its speed.
TEST(PngCrc, LeavesTheUpperHalvesOfTheVectorRegistersUnused) {
  if (!ReportsStatesInUse() || !__builtin_cpu_supports("avx")) {
    GTEST_SKIP() << "the processor does not tell which register states are in use";
  }
  const std::vector<std::uint8_t> bytes(4096, 0x5A);
  ClearUpperHalves();
  ASSERT_EQ(StatesInUse() & kUpperHalvesInUse, 0u);
  Crc32Update(0xFFFFFFFFu, bytes.data(), bytes.size());
  EXPECT_EQ(StatesInUse() & kUpperHalvesInUse, 0u);
}
#endif

TEST(PngPointerList, KeepsPositionsRemovesTheLastOccurrenceAndFindsDerivedClasses) {
  TPNGPointerList list(nullptr);
  int a = 0, b = 0;
  for (int* item : {&a, &b, &a}) list.Add(item);
  EXPECT_EQ(list.Item(-1), nullptr);
  EXPECT_EQ(list.Item(3), nullptr);
  EXPECT_EQ(list.Remove(&a), &a);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Item(0), &a);
  EXPECT_EQ(list.Item(1), &b);
  EXPECT_EQ(list.Remove(&list), nullptr);
  TPNGObject image;
  ReadBytes(
      image,
      OnePixel().Chunk("zTXt", "k\0\0").Chunk("tEXt", "a\0b").Idat(kOneGreyPixel).Iend().Bytes());
  EXPECT_EQ(TypeOf(*image.ChunkItems().FindByClass<TChunktEXt>()), "zTXt");
  EXPECT_EQ(image.ChunkItems().FindByClass<TChunktIME>(), nullptr);
}

// ---- text and time ----

struct TextCase {
  const char* name;
  const char* type;
  std::string data;
  std::string keyword;
  std::string text;
};

const TextCase kTextCases[] = {
    {"PlainKeywordAndText", "tEXt", std::string("Title\0A page", 12), "Title", "A page"},
    {"PlainTwoBytes", "tEXt", "ab", "", ""},
    {"PlainWithoutSeparator", "tEXt", "abc", "abc", ""},
    {"CompressedText", "zTXt", std::string("Note\0\0", 6) + Deflate("inflated words"), "Note",
     "inflated words"},
    {"CompressedMethod1", "zTXt", std::string("Note\0\1", 6) + Deflate("x"), "Note", ""},
    {"CompressedCorrupt", "zTXt", std::string("Note\0\0\x78\x9c\xff\xff", 10), "Note", ""},
    {"CompressedWithPresetDictionary", "zTXt", std::string("Note\0\0\x78\xbb\0\0\0\1\3\0", 14),
     "Note", ""},
};

class PngTextChunk : public ::testing::TestWithParam<TextCase> {};

TEST_P(PngTextChunk, SplitsKeywordAndText) {
  TPNGObject image;
  ReadBytes(image,
            OnePixel().Chunk(GetParam().type, GetParam().data).Idat(kOneGreyPixel).Iend().Bytes());
  const auto* text = image.ChunkItems().FindByClass<TChunktEXt>();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->Keyword(), GetParam().keyword);
  EXPECT_EQ(text->Text(), GetParam().text);
}

QUILLAMAR_TABLE_TESTS(TextChunks, PngTextChunk, kTextCases);

TEST(PngTimeChunk, SevenBytesGiveTheFieldsOtherLengthsNone) {
  TPNGObject image;
  ReadBytes(image, OnePixel()
                       .Chunk("tIME", std::string("\x07\xea\x0c\x07\x08\x1e\x3b", 7))
                       .Chunk("tIME", std::string("\x07\xea\x0c\x07\x08\x1e", 6))
                       .Idat(kOneGreyPixel)
                       .Iend()
                       .Bytes());
  const auto fields = [&image](std::uint32_t i) {
    const auto& t = dynamic_cast<const TChunktIME&>(*image.ChunkItems().Chunk(i));
    return std::vector<int>{t.Year(), t.Month(), t.Day(), t.Hour(), t.Minute(), t.Second()};
  };
  EXPECT_EQ(fields(1), (std::vector<int>{2026, 12, 7, 8, 30, 59}));
  EXPECT_EQ(fields(2), (std::vector<int>{0, 0, 0, 0, 0, 0}));
}

TEST(PngWholeBufferInflate, ReportsFailureWithZlibsWords) {
  const auto inflate = [](const std::string& zlib, std::uint64_t limit = kStorageLimit) {
    return InflateWholeBuffer(reinterpret_cast<const std::uint8_t*>(zlib.data()), zlib.size(),
                              limit);
  };
  const InflateOutcome outcome = inflate("\x78\x9c\xff\xff");
  EXPECT_FALSE(outcome.success);
  EXPECT_TRUE(outcome.output.empty());
  EXPECT_FALSE(outcome.error_text.empty());
  const std::string good = Deflate(std::string(1000, 'q'));
  EXPECT_TRUE(inflate(good).success);
  EXPECT_EQ(inflate(good).output, std::string(1000, 'q'));
  EXPECT_TRUE(inflate(Deflate("")).success);
  // Output beyond the limit fails; exactly the limit is still whole.
  EXPECT_FALSE(inflate(good, 999).success);
  EXPECT_EQ(inflate(good, 1000).output.size(), 1000u);
}

TEST(PngInflateTexts, DescribeEveryResultCode) {
  EXPECT_EQ(InflateResultDescription(-6), "incompatible version (-6)");
  EXPECT_EQ(InflateResultDescription(-3), "data error (-3)");
  EXPECT_EQ(InflateResultDescription(2), "need dictionary (2)");
  EXPECT_EQ(InflateResultDescription(-7), "(-7)");
}

}  // namespace
}  // namespace quillamar::png
