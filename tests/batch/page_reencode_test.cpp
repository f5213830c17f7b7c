// ConvertPngToJpg on valid, damaged and locked page PNGs, and JPG batches through the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "batch/batch.h"
#include "framework/exceptions.h"
#include "framework/paths.h"
#include "framework/streams.h"
#include "framework/system_calls.h"
#include "jpeg/jpeg.h"
#include "png/png_object.h"
#include "support/images.h"
#include "support/named_cases.h"
#include "support/temp_dir.h"
#include "tests/png/png_builder.h"

namespace quillamar {
namespace {

using testing::TempDir;
using namespace testing;            // the helpers of these tests
using quillamar::testing::PrintTo;  // table rows print as their names
using Bytes = std::vector<std::uint8_t>;

Rgb Ramp(int x, int y) {
  return {static_cast<std::uint8_t>(x * 7 + y), static_cast<std::uint8_t>(y * 11),
          static_cast<std::uint8_t>(255 - x * 3)};
}

Bytes JpegOf(const TBitmap& bitmap) {
  TJPEGImage image;
  image.Assign(bitmap);
  TMemoryStream stream;
  image.WriteImage(stream);
  return Bytes(stream.Memory(), stream.Memory() + stream.Size());
}

std::string WithoutLastBytes(const std::string& path, std::size_t count) {
  Bytes bytes = ReadAll(path);
  bytes.resize(bytes.size() - count);
  WriteAll(path, bytes);
  return path;
}

struct KindCase {
  const char* name;
  PngKind kind;
  batch::PagePath path;  // the way the page is made
};

class ValidPageTest : public ::testing::TestWithParam<KindCase> {};

// The JPEG holds exactly what the writer makes of the PNG's colours with alpha ignored, in place
// of an older one.
TEST_P(ValidPageTest, GivesTheJpegOfItsColours) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  const auto shown = WritePng(png, GetParam().kind, 37, 23, Ramp);
  const Bytes png_bytes = ReadAll(png);
  WriteAll(dir / "a_1.jpg", Bytes{'o', 'l', 'd'});
  batch::ConvertPngToJpg(png, dir / "a_1.jpg");
  const Bytes jpg = ReadAll(dir / "a_1.jpg");
  EXPECT_EQ(jpg, JpegOf(*shown));
  const auto decoded = DecodeJpeg(jpg);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 37);
  EXPECT_EQ(decoded->height, 23);
  EXPECT_EQ(ReadAll(png), png_bytes);  // the PNG is never changed
}

const KindCase kKinds[] = {{"Rgb", PngKind::kRgb, batch::PagePath::kStreamed},
                           {"Gray", PngKind::kGray, batch::PagePath::kGrey},
                           {"Palette", PngKind::kPalette, batch::PagePath::kColourRows},
                           {"RgbAlpha", PngKind::kRgbAlpha, batch::PagePath::kBitmap},
                           {"GrayAlpha", PngKind::kGrayAlpha, batch::PagePath::kBitmap}};

QUILLAMAR_TABLE_TESTS(Kinds, ValidPageTest, kKinds);

// Prepared ahead, the page writes nothing until it is committed, then the same file.
TEST_P(ValidPageTest, PreparedAheadWritesTheSameFileOnlyWhenCommitted) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  WritePng(png, GetParam().kind, 37, 23, Ramp);
  batch::ConvertPngToJpg(png, dir / "at_once.jpg");
  auto prepared = batch::PreparePngToJpg(png, dir / "a_1.jpg");
  EXPECT_EQ(prepared->Path(), GetParam().path);
  EXPECT_FALSE(std::filesystem::exists(dir / "a_1.jpg"));
  prepared->Commit();
  EXPECT_EQ(ReadAll(dir / "a_1.jpg"), ReadAll(dir / "at_once.jpg"));
}

// A black 1-bit grey PNG: small on disk and in its own storage, but its 24-bit bitmap would be
// larger than any storage may be.
std::string WriteHugeBlackPng(const std::string& png) {
  constexpr std::uint32_t kSide = 20000;
  const std::string row(1 + kSide / 8, '\0');
  std::string raw;
  for (std::uint32_t y = 0; y < kSide; ++y) raw += row;
  const std::string file = png::testing::PngBuilder()
                               .Ihdr(kSide, kSide, /*bit_depth=*/1, /*color_type=*/0)
                               .Idat(png::testing::Deflate(raw))
                               .Iend()
                               .Bytes();
  WriteAll(png, Bytes(file.begin(), file.end()));
  return png;
}

// A page that cannot be read: how it is spoiled, and the message that results.
struct BadPage {
  const char* name;
  std::string (*spoil)(const std::string& png);
  std::string (*message)(const std::string& png);
};

const BadPage kBadPages[] = {
    {"Empty",
     [](const std::string& png) {
       WriteAll(png, {});
       return png;
     },
     [](const std::string&) { return std::string(kNotAPngText); }},
    {"CutBeforeIend", [](const std::string& png) { return WithoutLastBytes(png, 12); },
     [](const std::string&) { return std::string(kCutShortText); }},
    {"CutInItsImageData",
     [](const std::string& png) { return WithoutLastBytes(png, ReadAll(png).size() / 2); },
     [](const std::string&) { return std::string(png_texts::kExpectedInvalidCrc); }},
    {"Missing",
     [](const std::string& png) {
       ::unlink(png.c_str());
       return png;
     },
     [](const std::string& png) {
       return "Cannot open file \"" + AbsolutePath(png) + "\". " + std::strerror(ENOENT);
     }},
    // A bitmap that cannot be made must not leave an empty picture to be saved as an empty JPEG.
    {"TooLargeForItsBitmap", WriteHugeBlackPng,
     [](const std::string&) { return std::string("Out of memory"); }},
};

class BadPageTest : public ::testing::TestWithParam<BadPage> {};

TEST_P(BadPageTest, RaisesItsMessageAndLeavesTheOlderJpeg) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  WritePng(png, PngKind::kRgb, 20, 20, Ramp);
  GetParam().spoil(png);
  const Bytes png_bytes = ReadAll(png);
  WriteAll(dir / "a_1.jpg", Bytes{'o', 'l', 'd'});
  EXPECT_EQ(MessageOf<Exception>([&] { batch::ConvertPngToJpg(png, dir / "a_1.jpg"); }),
            GetParam().message(png));
  EXPECT_EQ(ReadAll(dir / "a_1.jpg"), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(ReadAll(png), png_bytes);
  for (const std::string& name : FolderEntries(dir.path())) {
    EXPECT_TRUE(name == "a_1.png" || name == "a_1.jpg") << name << " left";
  }
}

QUILLAMAR_TABLE_TESTS(Pages, BadPageTest, kBadPages);

// Opening a pipe without a writer would wait for one for ever.
TEST(ConvertPngToJpgTest, PageThatIsANamedPipeRaisesWithoutWaiting) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  ASSERT_EQ(::mkfifo(png.c_str(), 0600), 0);
  EXPECT_EQ(MessageOf<Exception>([&] { batch::ConvertPngToJpg(png, dir / "a_1.jpg"); }),
            kNotAPngText);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"a_1.png"});
}

TEST(ConvertPngToJpgTest, PageHeldForWritingCannotBeOpened) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  WritePng(png, PngKind::kRgb, 8, 8, Ramp);
  const int writer = ::open(png.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(MessageOf<EFOpenError>([&] { batch::ConvertPngToJpg(png, dir / "a_1.jpg"); }),
            "Cannot open file \"" + AbsolutePath(png) + "\". " + std::strerror(EWOULDBLOCK));
  ::close(writer);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"a_1.png"});
}

TEST(ConvertPngToJpgTest, JpegThatCannotBeCreatedRaisesCreateError) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  WritePng(png, PngKind::kRgb, 8, 8, Ramp);
  const std::string jpg = dir / "missing/a_1.jpg";
  EXPECT_EQ(MessageOf<EFCreateError>([&] { batch::ConvertPngToJpg(png, jpg); }),
            "Cannot create file \"" + AbsolutePath(jpg) + "\". " + std::strerror(ENOENT));
  EXPECT_TRUE(FileExists(png));
}

// ---- pages large enough to be encoded while they are read ----

constexpr int kLargeWidth = 4096;
constexpr int kLargeHeight = static_cast<int>(batch::kEncodeAlongsidePixels / kLargeWidth) + 1;

// Sample c of pixel (x, y); for palette images the index.
std::uint8_t LargeSample(int x, int y, int c) {
  return static_cast<std::uint8_t>(x / 3 + y * 5 + c * 80);
}

// The unfiltered rows of a large page with the given samples a pixel.
std::string LargeRows(int channels) {
  std::string raw;
  raw.reserve(static_cast<std::size_t>(kLargeHeight) * (1 + kLargeWidth * channels));
  std::string row(1 + static_cast<std::size_t>(kLargeWidth * channels), '\0');
  for (int y = 0; y < kLargeHeight; ++y) {
    for (int x = 0; x < kLargeWidth; ++x) {
      for (int c = 0; c < channels; ++c) {
        row[1 + static_cast<std::size_t>(x * channels + c)] =
            static_cast<char>(LargeSample(x, y, c));
      }
    }
    raw += row;
  }
  return raw;
}

// A palette of count entries, entry i coloured (i, shade, 255 - i).
std::string Palette(int count, std::uint8_t shade) {
  std::string entries;
  for (int i = 0; i < count; ++i) {
    entries += static_cast<char>(i);
    entries += static_cast<char>(shade);
    entries += static_cast<char>(255 - i);
  }
  return entries;
}

png::testing::PngBuilder LargePng(int color_type) {
  return png::testing::PngBuilder().Ihdr(kLargeWidth, kLargeHeight, 8, color_type);
}

std::string LargeData(int channels) { return png::testing::Deflate(LargeRows(channels), 1); }

void WriteFile(const std::string& path, const std::string& bytes) {
  WriteAll(path, Bytes(bytes.begin(), bytes.end()));
}

// A large page: how it is written, the colour each pixel must show and the way it is made.
struct LargePage {
  const char* name;
  std::string (*file)();
  Rgb (*shown)(int x, int y);
  batch::PagePath path;
};

const LargePage kLargePages[] = {
    {"Rgb", [] { return LargePng(2).Idat(LargeData(3)).Iend().Bytes(); },
     [](int x, int y) {
       return Rgb{LargeSample(x, y, 0), LargeSample(x, y, 1), LargeSample(x, y, 2)};
     },
     batch::PagePath::kStreamedOnASecondThread},
    {"Grey", [] { return LargePng(0).Idat(LargeData(1)).Iend().Bytes(); },
     [](int x, int y) {
       const std::uint8_t grey = LargeSample(x, y, 0);
       return Rgb{grey, grey, grey};
     },
     batch::PagePath::kGrey},
    // A palette after the image data changes the colours the rows were read with.
    {"PaletteReplacedAfterTheData",
     [] {
       return LargePng(3)
           .Chunk("PLTE", Palette(256, 0))
           .Idat(LargeData(1), 1 << 20)
           .Chunk("PLTE", Palette(256, 90))
           .Iend()
           .Bytes();
     },
     [](int x, int y) {
       return Rgb{LargeSample(x, y, 0), 90, static_cast<std::uint8_t>(255 - LargeSample(x, y, 0))};
     },
     batch::PagePath::kColourRows},
};

class LargePageTest : public ::testing::TestWithParam<LargePage> {};

TEST_P(LargePageTest, GivesTheJpegOfItsColours) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  WriteFile(png, GetParam().file());
  auto prepared = batch::PreparePngToJpg(png, dir / "a_1.jpg");
  prepared->Commit();
  EXPECT_TRUE(ReadAll(dir / "a_1.jpg") ==
              JpegOf(*MakeBitmap(kLargeWidth, kLargeHeight, GetParam().shown)));
  // With one CPU there is no second thread to encode on.
  const bool one_cpu = UsableCpuCount() == 1;
  EXPECT_EQ(prepared->Path(),
            one_cpu && GetParam().path == batch::PagePath::kStreamedOnASecondThread
                ? batch::PagePath::kStreamed
                : GetParam().path);
}

QUILLAMAR_TABLE_TESTS(Pages, LargePageTest, kLargePages);

// A large page that fails, early or late in its reading: how it is written.
struct LargeBadPage {
  const char* name;
  std::string (*file)();
};

const LargeBadPage kLargeBadPages[] = {
    {"CutInItsData",
     [] {
       const std::string whole = LargePng(0).Idat(LargeData(1)).Iend().Bytes();
       return whole.substr(0, whole.size() / 2);
     }},
    {"ColourCutInItsData",
     [] {
       const std::string whole = LargePng(2).Idat(LargeData(3)).Iend().Bytes();
       return whole.substr(0, whole.size() / 2);
     }},
    {"DamagedChunkAfterTheData",
     [] {
       return LargePng(2)
           .Idat(LargeData(3))
           .ChunkWithCrc("tEXt", std::string("Title\0x", 7), 0)
           .Iend()
           .Bytes();
     }},
    // Transparency after the image data asks for alpha drawing, which meets indexes beyond the
    // palette.
    {"AlphaAfterTheDataWithIndexesBeyondThePalette",
     [] {
       return LargePng(3)
           .Chunk("PLTE", Palette(16, 0))
           .Idat(LargeData(1))
           .Chunk("tRNS", std::string("\x10\x80", 2))
           .Iend()
           .Bytes();
     }},
};

class LargeBadPageTest : public ::testing::TestWithParam<LargeBadPage> {};

// The same failure as the reading and drawing one after the other meet, and no JPEG.
TEST_P(LargeBadPageTest, RaisesWhatReadingAndDrawingRaiseAndLeavesTheOlderJpeg) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  WriteFile(png, GetParam().file());
  const std::string expected = MessageOf<Exception>([&] {
    png::TPNGObject image;
    image.LoadFile(png);
    TBitmap bitmap;
    bitmap.Assign(image);
    bitmap.Canvas().Draw(0, 0, &image);
  });
  WriteAll(dir / "a_1.jpg", Bytes{'o', 'l', 'd'});
  EXPECT_EQ(MessageOf<Exception>([&] { batch::ConvertPngToJpg(png, dir / "a_1.jpg"); }), expected);
  EXPECT_EQ(ReadAll(dir / "a_1.jpg"), (Bytes{'o', 'l', 'd'}));
}

QUILLAMAR_TABLE_TESTS(Pages, LargeBadPageTest, kLargeBadPages);

}  // namespace
}  // namespace quillamar
