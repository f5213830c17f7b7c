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
#include "jpeg/jpeg.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "tests/png/png_builder.h"

namespace quillamar {
namespace {

using testing::TempDir;
using namespace testing;  // the helpers of these tests
using Bytes = std::vector<std::uint8_t>;

// The PNG reader's message for a file cut short, written out so that a changed text fails here.
constexpr char kCutShortText[] =
    "This \"Portable Network Graphics\" image is invalid because the decoder found an unexpected "
    "end of the file.";

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
};

class ValidPageTest : public ::testing::TestWithParam<KindCase> {};

// The JPEG holds exactly what the writer makes of the PNG's colours with alpha ignored.
TEST_P(ValidPageTest, GivesTheJpegOfItsColours) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  const auto shown = WritePng(png, GetParam().kind, 37, 23, Ramp);
  const Bytes png_bytes = ReadAll(png);
  batch::ConvertPngToJpg(png, dir / "a_1.jpg");
  const Bytes jpg = ReadAll(dir / "a_1.jpg");
  EXPECT_EQ(jpg, JpegOf(*shown));
  const auto decoded = DecodeJpeg(jpg);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 37);
  EXPECT_EQ(decoded->height, 23);
  EXPECT_EQ(ReadAll(png), png_bytes);  // the PNG is never changed
}

INSTANTIATE_TEST_SUITE_P(Kinds, ValidPageTest,
                         ::testing::Values(KindCase{"Rgb", PngKind::kRgb},
                                           KindCase{"Gray", PngKind::kGray},
                                           KindCase{"Palette", PngKind::kPalette},
                                           KindCase{"RgbAlpha", PngKind::kRgbAlpha},
                                           KindCase{"GrayAlpha", PngKind::kGrayAlpha}),
                         [](const auto& info) { return std::string(info.param.name); });

// Prepared ahead, the page writes nothing until it is committed, then the same file.
TEST_P(ValidPageTest, PreparedAheadWritesTheSameFileOnlyWhenCommitted) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  WritePng(png, GetParam().kind, 37, 23, Ramp);
  batch::ConvertPngToJpg(png, dir / "at_once.jpg");
  auto prepared = batch::PreparePngToJpg(png, dir / "a_1.jpg");
  EXPECT_FALSE(std::filesystem::exists(dir / "a_1.jpg"));
  prepared->Commit();
  EXPECT_EQ(ReadAll(dir / "a_1.jpg"), ReadAll(dir / "at_once.jpg"));
}

TEST(ConvertPngToJpgTest, ReplacesAnOlderJpeg) {
  const TempDir dir;
  const auto shown = WritePng(dir / "a_1.png", PngKind::kRgb, 9, 9, Ramp);
  WriteAll(dir / "a_1.jpg", Bytes{'o', 'l', 'd'});
  batch::ConvertPngToJpg(dir / "a_1.png", dir / "a_1.jpg");
  EXPECT_EQ(ReadAll(dir / "a_1.jpg"), JpegOf(*shown));
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
}

INSTANTIATE_TEST_SUITE_P(Pages, BadPageTest, ::testing::ValuesIn(kBadPages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConvertPngToJpgTest, PageCutInItsImageDataWritesNoJpeg) {
  const TempDir dir;
  const std::string png = dir / "a_1.png";
  WritePng(png, PngKind::kRgb, 64, 64, Ramp);
  WithoutLastBytes(png, ReadAll(png).size() / 2);
  EXPECT_THROW(batch::ConvertPngToJpg(png, dir / "a_1.jpg"), Exception);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"a_1.png"});
}

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

}  // namespace
}  // namespace quillamar
