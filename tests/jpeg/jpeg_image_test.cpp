// TJPEGImage: settings, states, assignment, the bytes of the file it writes and its failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "framework/exceptions.h"
#include "framework/streams.h"
#include "jpeg/jpeg.h"
#include "jpeg/progress.h"
#include "support/images.h"
#include "support/temp_dir.h"

// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace quillamar {
namespace {

using testing::DecodeJpeg;
using testing::MakeBitmap;
using testing::MessageOf;
using testing::Rgb;

using Bytes = std::vector<std::uint8_t>;

Bytes Encoded(TJPEGImage& image) {
  TMemoryStream stream;
  image.WriteImage(stream);
  return Bytes(stream.Memory(), stream.Memory() + stream.Size());
}

Bytes EncodedBitmap(const TBitmap& bitmap) {
  TJPEGImage image;
  image.Assign(bitmap);
  return Encoded(image);
}

std::unique_ptr<TBitmap> Flat(int width, int height, Rgb colour) {
  return MakeBitmap(width, height, [colour](int, int) { return colour; });
}

// The markers of the segments before the entropy-coded data, in order.
std::vector<std::uint8_t> MarkersOf(const Bytes& file) {
  std::vector<std::uint8_t> markers;
  for (std::size_t at = 2; at + 4 <= file.size() && file[at] == 0xFF;  // after SOI
       at += 2 + (file[at + 2] << 8 | file[at + 3])) {
    markers.push_back(file[at + 1]);
    if (file[at + 1] == 0xDA) break;  // SOS: entropy-coded data follows
  }
  return markers;
}

// Records what an image reports to its progress listener.
struct ProgressLog {
  std::vector<std::pair<TProgressStage, int>> reports;
  int Starts() const {
    int count = 0;
    for (const auto& [stage, percent] : reports) count += stage == TProgressStage::psStarting;
    return count;
  }
  void Attach(TJPEGImage& image) {
    image.OnProgress = [this](const TGraphic&, TProgressStage stage, int percent, bool,
                              const TRect&,
                              const std::string&) { reports.emplace_back(stage, percent); };
  }
};

class Dummy : public TGraphic {
 public:
  const char* ClassName() const override { return "TDummy"; }
  void Draw(TCanvas&, const TRect&) const override {}
  int Width() const override { return 1; }
  int Height() const override { return 1; }
  void SetWidth(int) override {}
  void SetHeight(int) override {}
  bool Empty() const override { return false; }
};

// The start values show in the bytes written: quality 90 and baseline in the files the cjpeg
// identity test compares, colour in the decoded pixels.
TEST(JpegSettingsTest, CopiedAtCreationAndPaletteOutputFollowsScreenDepth) {
  const JpegSettings saved = InitialJpegSettings;
  TJPEGImage before;
  InitialJpegSettings.Quality = 50;
  TJPEGImage after;
  for (const auto& [depth, palette] : std::vector<std::pair<int, bool>>{{8, true}, {15, false}}) {
    InitJpegScreenDepth(depth);
    EXPECT_EQ(InitialJpegSettings.PaletteOutput, palette) << "depth " << depth;
  }
  InitialJpegSettings = saved;
  EXPECT_EQ(before.Settings().Quality, 90);
  EXPECT_EQ(after.Settings().Quality, 50);
}

struct EmptyCase {
  const char* name;
  int width;  ///< negative: no bitmap is ever assigned
  int height;
};

class EmptyPictureTest : public ::testing::TestWithParam<EmptyCase> {};

TEST_P(EmptyPictureTest, WritesZeroBytesWithoutError) {
  TJPEGImage image;
  const bool assigned = GetParam().width >= 0;
  if (assigned) image.Assign(*Flat(GetParam().width, GetParam().height, {1, 2, 3}));
  EXPECT_TRUE(image.Empty());
  EXPECT_EQ(image.SourceBitmap() != nullptr, assigned);
  EXPECT_TRUE(Encoded(image).empty());
  ASSERT_NE(image.SharedData().EncodedBytes, nullptr);  // encoded, just nothing to show
}

INSTANTIATE_TEST_SUITE_P(Sizes, EmptyPictureTest,
                         ::testing::Values(EmptyCase{"NeverAssigned", -1, -1},
                                           EmptyCase{"ZeroByZero", 0, 0},
                                           EmptyCase{"ZeroWidth", 0, 5},
                                           EmptyCase{"ZeroHeight", 5, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The image shares the bitmap's pixels until the bitmap writes: later changes do not reach it.
TEST(TJPEGImageTest, AssignedBitmapSharesPixelsAndGivesTheSizeButNotLaterChanges) {
  const auto bitmap = Flat(8, 3, {255, 0, 0});
  bitmap->SetTransparent(true);
  TJPEGImage image;
  image.Assign(*bitmap);
  ASSERT_NE(image.SourceBitmap(), nullptr);
  EXPECT_TRUE(image.SourceBitmap()->SharesPixelsWith(*bitmap));
  EXPECT_TRUE(image.SourceBitmap()->Transparent());
  EXPECT_EQ(image.Width(), 8);
  EXPECT_EQ(image.Height(), 3);
  EXPECT_EQ(image.SharedData().EncodedBytes, nullptr);  // nothing encoded on assignment
  std::fill_n(bitmap->MutableBits(), bitmap->RowStride() * 3, 0);
  const auto decoded = DecodeJpeg(Encoded(image));
  ASSERT_TRUE(decoded);
  EXPECT_GT(decoded->At(4, 1).r, 240);
}

TEST(TJPEGImageTest, ResizingAndForeignAssignmentsRaiseTheirMessages) {
  TJPEGImage image;
  EXPECT_EQ(MessageOf<EInvalidGraphicOperation>([&] { image.SetWidth(10); }),
            "Cannot change the size of a JPEG image");
  EXPECT_EQ(MessageOf<EInvalidGraphicOperation>([&] { image.SetHeight(10); }),
            "Cannot change the size of a JPEG image");
  Dummy dummy;
  EXPECT_EQ(MessageOf<EConvertError>([&] { image.Assign(dummy); }),
            "Cannot assign a TDummy to a TJPEGImage");
  TBitmap bitmap;
  EXPECT_EQ(MessageOf<EConvertError>([&] { bitmap.Assign(image); }),
            "Cannot assign a TJPEGImage to a TBitmap");
}

// Saving twice writes the same bytes from one encoding; a second bitmap is encoded again.
TEST(TJPEGImageTest, EachAssignedBitmapIsEncodedOnce) {
  TJPEGImage image;
  ProgressLog log;
  log.Attach(image);
  image.Assign(*Flat(20, 10, {1, 100, 200}));
  const Bytes first = Encoded(image);
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(Encoded(image), first);
  EXPECT_EQ(log.reports, (std::vector<std::pair<TProgressStage, int>>{
                             {TProgressStage::psStarting, 0}, {TProgressStage::psEnding, 100}}));
  image.Assign(*Flat(16, 16, {0, 0, 255}));
  EXPECT_EQ(image.SharedData().EncodedBytes, nullptr);
  const auto decoded = DecodeJpeg(Encoded(image));
  ASSERT_TRUE(decoded);
  EXPECT_GT(decoded->At(8, 8).b, 240);
  EXPECT_LT(decoded->At(8, 8).r, 15);
  EXPECT_EQ(log.Starts(), 2);
}

TEST(TJPEGImageTest, SettingsAreReadWhenEncoding) {
  TJPEGImage image;
  image.Assign(*Flat(16, 16, {200, 50, 50}));
  image.Settings().GrayOutput = true;
  image.Settings().ProgressiveOutput = true;
  const Bytes file = Encoded(image);
  EXPECT_TRUE(image.SharedData().EncodedGray);
  const auto decoded = DecodeJpeg(file);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->components, 1);
  // Y = 0.299 R + 0.587 G + 0.114 B = 94 for this colour.
  EXPECT_NEAR(decoded->At(8, 8).r, 94, 3);
  const auto markers = MarkersOf(file);
  EXPECT_NE(std::find(markers.begin(), markers.end(), 0xC2), markers.end()) << "no SOF2";
}

// Pictures whose edges need libjpeg's padding on both sides (sizes off the 16-pixel blocks),
// with each setting that changes the file.
struct EncodingCase {
  const char* name;
  int width;
  int height;
  std::uint8_t quality;
  bool gray_output;
  bool progressive;
};

const EncodingCase kEncodingCases[] = {
    {"OnePixel", 1, 1, 90, false, false},       {"OddSizes", 17, 9, 90, false, false},
    {"PageLike", 131, 95, 90, false, false},    {"OneRow", 40, 1, 75, false, false},
    {"GrayOutput", 33, 31, 90, true, false},    {"Progressive", 33, 31, 90, false, true},
    {"WholeBlocks", 32, 16, 100, false, false},
};

void TakeSettings(TJPEGImage& image, const EncodingCase& c) {
  image.Settings().Quality = c.quality;
  image.Settings().GrayOutput = c.gray_output;
  image.Settings().ProgressiveOutput = c.progressive;
}

// ---- rows handed to the row encoder ----

const RowKind kRowKinds[] = {RowKind::kGrey, RowKind::kRedGreenBlue, RowKind::kBlueGreenRed};

std::string KindName(RowKind kind) {
  switch (kind) {
    case RowKind::kGrey:
      return "Grey";
    case RowKind::kRedGreenBlue:
      return "Rgb";
    case RowKind::kBlueGreenRed:
      break;
  }
  return "Bgr";
}

// A bitmap's row in the layout of the kind: one byte a pixel for grey, red and blue swapped for
// red-green-blue.
std::vector<std::uint8_t> RowOfKind(const TBitmap& bitmap, int y, RowKind kind) {
  const std::uint8_t* bgr = bitmap.ScanLine(y);
  const auto width = static_cast<std::size_t>(bitmap.Width());
  std::vector<std::uint8_t> row(kind == RowKind::kGrey ? width : width * 3);
  for (std::size_t x = 0; x < width; ++x) {
    if (kind == RowKind::kGrey) {
      row[x] = bgr[x * 3];
      continue;
    }
    const bool swap = kind == RowKind::kRedGreenBlue;
    for (std::size_t c = 0; c < 3; ++c) row[x * 3 + c] = bgr[x * 3 + (swap ? 2 - c : c)];
  }
  return row;
}

class RowEncoderTest : public ::testing::TestWithParam<std::tuple<EncodingCase, RowKind>> {};

// Every kind of row, handed over in uneven batches (grey row groups straddle the calls), makes the
// file of the bitmap those rows stand for.
TEST_P(RowEncoderTest, EncodesToTheBytesOfItsBitmap) {
  const auto& [c, kind] = GetParam();
  const bool grey = kind == RowKind::kGrey;
  const auto bitmap = MakeBitmap(c.width, c.height, [grey](int x, int y) {
    const auto g = static_cast<std::uint8_t>((x * 37 + y * 11 + (x * y) % 7 * 29) & 0xFF);
    if (grey) return Rgb{g, g, g};
    return Rgb{g, static_cast<std::uint8_t>(y * 11 + x % 5),
               static_cast<std::uint8_t>(255 - x * y)};
  });
  TJPEGImage from_bitmap;
  TakeSettings(from_bitmap, c);
  from_bitmap.Assign(*bitmap);
  std::vector<std::vector<std::uint8_t>> rows;
  std::vector<const std::uint8_t*> pointers;
  for (int y = 0; y < c.height; ++y) rows.push_back(RowOfKind(*bitmap, y, kind));
  for (const auto& row : rows) pointers.push_back(row.data());

  TJPEGImage fed;
  TakeSettings(fed, c);
  JpegRowEncoder encoder(fed);
  encoder.Begin(c.width, c.height, kind);
  for (int y = 0; y < c.height;) {
    const int count = std::min(1 + y % 5, c.height - y);
    encoder.PutRows(pointers.data() + y, count);
    y += count;
  }
  EXPECT_EQ(encoder.RowsDue(), 0);
  encoder.Finish();
  EXPECT_EQ(fed.SourceBitmap(), nullptr);
  EXPECT_EQ(fed.Height(), c.height);
  EXPECT_EQ(fed.SharedData().EncodedGray, c.gray_output);
  EXPECT_TRUE(Encoded(fed) == Encoded(from_bitmap)) << "the files differ";
}

INSTANTIATE_TEST_SUITE_P(Jpeg, RowEncoderTest,
                         ::testing::Combine(::testing::ValuesIn(kEncodingCases),
                                            ::testing::ValuesIn(kRowKinds)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  KindName(std::get<1>(info.param));
                         });

// Too few rows at the end, or more than the height, raise and leave the image without bytes; an
// encoding begun again starts over.
TEST(RowEncoderTest, WrongRowCountsRaiseAndLeaveNoBytes) {
  const auto bitmap = Flat(16, 16, {10, 200, 30});
  std::vector<const std::uint8_t*> rows;
  for (int y = 0; y < 16; ++y) rows.push_back(bitmap->ScanLine(y));
  TJPEGImage image;
  JpegRowEncoder encoder(image);
  encoder.Begin(16, 16, RowKind::kBlueGreenRed);
  encoder.PutRows(rows.data(), 15);
  EXPECT_EQ(encoder.RowsDue(), 1);
  EXPECT_THROW(encoder.Finish(), EInvalidGraphicOperation);
  EXPECT_EQ(image.SharedData().EncodedBytes, nullptr);
  EXPECT_THROW(encoder.PutRows(rows.data(), 1), EInvalidGraphicOperation);

  encoder.Begin(16, 16, RowKind::kBlueGreenRed);
  encoder.PutRows(rows.data(), 16);
  EXPECT_THROW(encoder.PutRows(rows.data(), 1), EInvalidGraphicOperation);
  EXPECT_EQ(image.SharedData().EncodedBytes, nullptr);

  encoder.Begin(16, 16, RowKind::kBlueGreenRed);
  encoder.PutRows(rows.data(), 16);
  encoder.Finish();
  EXPECT_EQ(Encoded(image), EncodedBitmap(*bitmap));
}

TEST(TJPEGImageTest, AssignedJpegSharesTheEncodedState) {
  TJPEGImage first;
  first.Assign(*Flat(9, 9, {0, 128, 0}));
  const Bytes bytes = Encoded(first);
  TJPEGImage second;
  ProgressLog log;
  log.Attach(second);
  second.Assign(first);
  EXPECT_EQ(&second.SharedData(), &first.SharedData());
  ASSERT_NE(second.SourceBitmap(), nullptr);
  EXPECT_TRUE(second.SourceBitmap()->SharesPixelsWith(*first.SourceBitmap()));
  EXPECT_EQ(Encoded(second), bytes);
  EXPECT_EQ(log.Starts(), 0);

  TJPEGImage without_bitmap;
  second.Assign(without_bitmap);
  EXPECT_EQ(second.SourceBitmap(), nullptr);
}

TEST(TJPEGImageTest, DrawsItsBitmap) {
  TJPEGImage image;
  image.Assign(*Flat(2, 2, {0, 0, 255}));
  TBitmap target;
  target.SetSize(4, 4);
  target.Canvas().Draw(1, 1, &image);
  EXPECT_EQ(target.ScanLine(1)[3], 255);  // blue byte of pixel (1, 1)
  EXPECT_EQ(target.ScanLine(0)[0], 0);
}

TEST(TJPEGImageTest, LibraryErrorBecomesEjpegWithItsCode) {
  TJPEGImage image;
  ProgressLog log;
  log.Attach(image);
  image.Assign(*Flat(70000, 1, {0, 0, 0}));  // above libjpeg's largest dimension
  EXPECT_EQ(MessageOf<EJPEG>([&] { Encoded(image); }),
            "JPEG error #" + std::to_string(JERR_IMAGE_TOO_BIG));
  ASSERT_FALSE(log.reports.empty());
  EXPECT_EQ(log.reports.back(), std::make_pair(TProgressStage::psEnding, 0));
}

// A clock that moves a second on at every reading, so that every call of libjpeg's progress
// monitor makes a report.
std::int64_t HurryingClock() {
  static std::int64_t now = 1000;
  return now += 1000;
}

class RunningProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = jpeg::SetProgressClock(HurryingClock);
    image_.Assign(*Flat(16, 64, {10, 20, 30}));
  }
  void TearDown() override { jpeg::SetProgressClock(previous_); }

  // Makes the listener raise the exception when the first report of the stage arrives, on a
  // picture assigned afresh.
  template <class E>
  void FailAt(TProgressStage failing) {
    log_.reports.clear();
    image_.Assign(*Flat(16, 64, {10, 20, 30}));
    image_.OnProgress = [this, failing](const TGraphic&, TProgressStage stage, int percent, bool,
                                        const TRect&, const std::string&) {
      log_.reports.emplace_back(stage, percent);
      if (stage == failing) throw E("listener failed");
    };
  }

  jpeg::MillisecondClock previous_ = nullptr;
  TJPEGImage image_;
  ProgressLog log_;
};

TEST_F(RunningProgressTest, ReportsRisingPercentagesBetweenStartAndEnd) {
  log_.Attach(image_);
  Encoded(image_);
  ASSERT_GE(log_.reports.size(), 4u);
  EXPECT_EQ(log_.reports.front(), std::make_pair(TProgressStage::psStarting, 0));
  EXPECT_EQ(log_.reports.back(), std::make_pair(TProgressStage::psEnding, 100));
  int last = 0;
  for (std::size_t i = 1; i + 1 < log_.reports.size(); ++i) {
    EXPECT_EQ(log_.reports[i].first, TProgressStage::psRunning);
    EXPECT_GT(log_.reports[i].second, last);
    EXPECT_LE(log_.reports[i].second, 100);
    last = log_.reports[i].second;
  }
}

// At the start the listener runs before libjpeg, while running inside libjpeg's call; either way
// its exception must come out on our side intact, and the next save encodes again instead of
// writing the half-encoded bytes.
TEST_F(RunningProgressTest, ListenerFailureAtTheStartOrInsideTheLibraryPasses) {
  for (const TProgressStage stage : {TProgressStage::psStarting, TProgressStage::psRunning}) {
    FailAt<EInOutError>(stage);
    EXPECT_EQ(MessageOf<EInOutError>([&] { Encoded(image_); }), "listener failed");
    EXPECT_EQ(MessageOf<EInOutError>([&] { Encoded(image_); }), "listener failed");
  }
  EXPECT_EQ(log_.reports.back(), std::make_pair(TProgressStage::psEnding, 0));
}

// An abort leaves the image assigned and writes nothing.
TEST_F(RunningProgressTest, AbortAtTheStartOrInsideTheLibraryIsSilent) {
  for (const TProgressStage stage : {TProgressStage::psStarting, TProgressStage::psRunning}) {
    FailAt<EAbort>(stage);
    EXPECT_TRUE(Encoded(image_).empty());
    EXPECT_EQ(image_.SharedData().EncodedBytes, nullptr);
    EXPECT_NE(image_.SourceBitmap(), nullptr);
  }
  EXPECT_EQ(log_.reports.back(), std::make_pair(TProgressStage::psEnding, 0));
}

// Takes at most limit bytes in all.
class ShortStream : public TMemoryStream {
 public:
  explicit ShortStream(std::int64_t limit) : limit_(limit) {}
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    const std::int64_t taken = std::min(count, limit_ - Size());
    return TMemoryStream::Write(buffer, std::max<std::int64_t>(taken, 0));
  }

 private:
  std::int64_t limit_;
};

TEST(TJPEGImageTest, ShortWriteToAStreamRaises) {
  TJPEGImage image;
  image.Assign(*Flat(16, 16, {1, 2, 3}));
  ShortStream stream(10);
  EXPECT_THROW(image.WriteImage(stream), EWriteError);
}

}  // namespace
}  // namespace quillamar
