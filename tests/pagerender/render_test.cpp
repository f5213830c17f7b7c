// Tests of rendering small generated PDFs in-process: page sizes, colours, rotation, PNG layout,
// and that the number of workers and the PNG mode never change the pixels.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "pagerender/pagerender.h"
#include "pagerender/png_writer.h"
#include "support/named_cases.h"
#include "support/pdf_pages.h"
#include "support/process.h"

namespace quillamar::pagerender {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

using testing::ReadPng;
using testing::ScratchFolder;
using testing::TestPage;

constexpr unsigned kWhite = 0xffffff;
constexpr unsigned kRed = 0xff0000;
constexpr unsigned kBlue = 0x0000ff;

// Renders the PDF into folder as p_N.png.
RenderOutcome RenderBytes(const ScratchFolder& folder, const std::string& bytes, double dpi,
                          int workers = 2, PngMode mode = PngMode::kBalanced,
                          const std::atomic<bool>* stop = nullptr, Engine engine = kDefaultEngine) {
  const auto pdf = folder.path() / "in.pdf";
  testing::WriteFile(pdf, bytes);
  TemporaryFiles temporaries;
  RenderRequest request;
  request.options = Options{(folder.path() / "p_%d.png").string(), dpi, pdf.string()};
  request.workers = workers;
  request.mode = mode;
  request.temporaries = &temporaries;
  request.stop = stop;
  request.engine = engine;
  return RenderPdf(request);
}

RenderOutcome Render(const ScratchFolder& folder, const std::vector<TestPage>& pages, double dpi,
                     int workers = 2, PngMode mode = PngMode::kBalanced,
                     const std::atomic<bool>* stop = nullptr, Engine engine = kDefaultEngine) {
  return RenderBytes(folder, testing::MakePdf(pages), dpi, workers, mode, stop, engine);
}

struct Probe {
  int x;
  int y;
  unsigned rgb;
};

struct PageCase {
  const char* name;
  TestPage page;
  double dpi;
  int width;
  int height;
  std::vector<Probe> probes;
};

const std::string kRedCorner = testing::FillRect(0, 0, 100, 100, 255, 0, 0);

// Pages turned by 180 and 270 degrees are in the reference tests, against both engines' programs.
const PageCase kPageCases[] = {
    {"A4At72", {595.28, 841.89, 0, kRedCorner}, 72, 596, 842, {{50, 792, kRed}, {546, 50, kWhite}}},
    {"A3At150",
     {841.89, 1190.55, 0, testing::FillRect(741.89, 1090.55, 100, 100, 0, 0, 255)},
     150,
     1754,
     2481,
     {{1700, 50, kBlue}, {50, 2430, kWhite}}},
    {"LetterAt150ExactSize", {612, 792, 0, kRedCorner}, 150, 1275, 1650, {{50, 1600, kRed}}},
    {"Rotated90",
     {595.28, 841.89, 90, kRedCorner},
     72,
     842,
     596,
     {{50, 50, kRed}, {50, 546, kWhite}}},
    {"RotatedMinus90", {595.28, 841.89, -90, kRedCorner}, 72, 842, 596, {{792, 546, kRed}}},
    {"DecimalDpi", {100, 100, 0, kRedCorner}, 72.5, 101, 101, {{50, 50, kRed}}},
    {"TinyPageAtLowDpi", {10, 10, 0, ""}, 1, 1, 1, {{0, 0, kWhite}}},
    {"WidePage", {718.5, 300, 0, kRedCorner}, 96, 958, 400, {{60, 340, kRed}, {900, 20, kWhite}}},
};

// Both engines give a page the same size: a user's files keep theirs when the engine changes.
const char* const kEngines[] = {contract::kEnginePoppler, contract::kEngineMupdf};

class RendererPageTest : public ::testing::TestWithParam<std::tuple<PageCase, const char*>> {};

TEST_P(RendererPageTest, SizeLayoutAndColours) {
  const auto& [c, engine] = GetParam();
  const ScratchFolder folder;
  const RenderOutcome outcome =
      Render(folder, {c.page}, c.dpi, 2, PngMode::kBalanced, nullptr, *EngineNamed(engine));
  ASSERT_EQ(outcome.exit_status, testing::kRendererSucceeded) << outcome.error_line;
  EXPECT_EQ(outcome.pages_written, 1);
  const testing::PngPage png = ReadPng(folder.path() / "p_1.png");
  ASSERT_EQ(png.error, "");
  EXPECT_EQ(png.width, c.width);
  EXPECT_EQ(png.height, c.height);
  EXPECT_EQ(png.bit_depth, 8);
  EXPECT_EQ(png.colour_type, 2);
  EXPECT_EQ(png.interlace, 0);
  for (const Probe& probe : c.probes) {
    EXPECT_EQ(png.Pixel(probe.x, probe.y), probe.rgb) << "at " << probe.x << ", " << probe.y;
  }
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererPageTest,
                         ::testing::Combine(::testing::ValuesIn(kPageCases),
                                            ::testing::ValuesIn(kEngines)),
                         quillamar::testing::kCaseAndWordName);

TEST(RendererDocumentTest, MixedPagesGiveOneFileEachInOrder) {
  const ScratchFolder folder;
  const std::vector<TestPage> pages = {{595.28, 841.89, 0, kRedCorner},
                                       {841.89, 1190.55, 90, ""},
                                       {200, 100, 0, testing::FillRect(0, 0, 200, 100, 0, 0, 255)},
                                       {612, 792, 270, ""}};
  const RenderOutcome outcome = Render(folder, pages, 36);
  ASSERT_EQ(outcome.exit_status, testing::kRendererSucceeded) << outcome.error_line;
  EXPECT_EQ(outcome.pages_written, 4);
  EXPECT_EQ(folder.Entries(),
            (std::vector<std::string>{"in.pdf", "p_1.png", "p_2.png", "p_3.png", "p_4.png"}));
  const int expected[][2] = {{298, 421}, {596, 421}, {100, 50}, {396, 306}};
  for (int page = 1; page <= 4; ++page) {
    const auto png = ReadPng(folder.path() / ("p_" + std::to_string(page) + ".png"));
    EXPECT_EQ(png.width, expected[page - 1][0]) << "page " << page;
    EXPECT_EQ(png.height, expected[page - 1][1]) << "page " << page;
  }
  EXPECT_EQ(ReadPng(folder.path() / "p_3.png").Pixel(50, 25), kBlue);
}

struct DamageCase {
  const char* name;
  std::string (*damage)(std::string pdf);
};

const DamageCase kDamageCases[] = {
    {"WrongStartxref",
     [](std::string pdf) {
       pdf[pdf.rfind("startxref\n") + 10] = '1';
       return pdf;
     }},
    {"CutAfterTrailer", [](std::string pdf) { return pdf.substr(0, pdf.rfind("startxref")); }},
    {"ShiftedObjects",
     [](std::string pdf) { return pdf.insert(9, "% padding that moves every object\n"); }},
};

class RendererRepairTest : public ::testing::TestWithParam<std::tuple<DamageCase, const char*>> {};

TEST_P(RendererRepairTest, RepairableDamageStillRenders) {
  const auto& [damage, engine] = GetParam();
  const ScratchFolder folder;
  const std::string pdf = testing::MakePdf({{200, 200, 0, kRedCorner}, {100, 50, 90, ""}});
  const RenderOutcome outcome = RenderBytes(folder, damage.damage(pdf), 72, 2, PngMode::kBalanced,
                                            nullptr, *EngineNamed(engine));
  ASSERT_EQ(outcome.exit_status, testing::kRendererSucceeded) << outcome.error_line;
  const auto first = ReadPng(folder.path() / "p_1.png");
  EXPECT_EQ(first.Pixel(50, 150), kRed);
  EXPECT_EQ(ReadPng(folder.path() / "p_2.png").width, 50);
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererRepairTest,
                         ::testing::Combine(::testing::ValuesIn(kDamageCases),
                                            ::testing::ValuesIn(kEngines)),
                         quillamar::testing::kCaseAndWordName);

TEST(RendererDocumentTest, StopRequestedBeforehandWritesNothingAndFails) {
  const ScratchFolder folder;
  const std::atomic<bool> stop{true};
  const RenderOutcome outcome =
      Render(folder, {{100, 100, 0, ""}, {100, 100, 0, ""}}, 72, 2, PngMode::kBalanced, &stop);
  EXPECT_EQ(outcome.exit_status, testing::kRendererFailed);
  EXPECT_EQ(outcome.pages_written, 0);
  EXPECT_EQ(outcome.error_line,
            "lib.dll: " + (folder.path() / "in.pdf").string() + ": stopped after 0 of 2 pages");
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"in.pdf"});
}

// Pages with different content, so that each worker has something else to do.
std::vector<TestPage> VariedPages() {
  std::vector<TestPage> pages;
  for (int i = 0; i < 7; ++i) {
    std::string content = testing::FillRect(10 * i, 20 * i, 150, 90, 40 * i, 255 - 30 * i, 128);
    content += testing::ShowText(30, 300 - 20 * i, 12 + 4 * i, "Page " + std::to_string(i + 1));
    pages.push_back(TestPage{300 + 10.5 * i, 400, 90 * (i % 4), content});
  }
  return pages;
}

// One worker keeps its document's painter, fonts and all, from page to page: a page drawn after
// pages of other sizes, turns and text sizes must come out as it did first, and as three workers
// draw it.
TEST(RendererDocumentTest, ParallelAndSingleWorkerFilesAreIdenticalAndPagesRepeat) {
  const ScratchFolder single;
  const ScratchFolder parallel;
  std::vector<TestPage> pages = VariedPages();
  pages.push_back(pages.front());
  ASSERT_EQ(Render(single, pages, 100, 1).exit_status, testing::kRendererSucceeded);
  ASSERT_EQ(Render(parallel, pages, 100, 3).exit_status, testing::kRendererSucceeded);
  ASSERT_EQ(single.Entries(), parallel.Entries());
  for (int page = 1; page <= 8; ++page) {
    const std::string name = "p_" + std::to_string(page) + ".png";
    EXPECT_EQ(testing::ReadFileText(single.path() / name),
              testing::ReadFileText(parallel.path() / name))
        << name;
  }
  EXPECT_EQ(testing::ReadFileText(single.path() / "p_8.png"),
            testing::ReadFileText(single.path() / "p_1.png"));
}

// Seven coloured pages, then two with black text only, which are grey.
std::vector<TestPage> ColouredThenGreyPages() {
  std::vector<TestPage> pages = VariedPages();
  for (int i = 0; i < 2; ++i) {
    pages.push_back(TestPage{300, 400, 90 * i, testing::ShowText(30, 300, 14, "Grey text")});
  }
  return pages;
}

TEST(RendererDocumentTest, IntermediatePagesHaveTheSamePixelsStoredUncompressed) {
  const ScratchFolder balanced;
  const ScratchFolder intermediate;
  const auto pages = ColouredThenGreyPages();
  ASSERT_EQ(Render(balanced, pages, 72).exit_status, testing::kRendererSucceeded);
  ASSERT_EQ(Render(intermediate, pages, 72, 2, PngMode::kIntermediate).exit_status,
            testing::kRendererSucceeded);
  for (int page = 1; page <= 9; ++page) {
    const std::string name = "p_" + std::to_string(page) + ".png";
    const auto ours = ReadPng(intermediate.path() / name);
    EXPECT_EQ(testing::FirstDifference(ours, ReadPng(balanced.path() / name)), "") << name;
    // Stored blocks hold every row byte (a filter byte plus one sample per grey pixel or three
    // per coloured one) uncompressed.
    const bool grey = page > 7;
    EXPECT_EQ(ours.colour_type, grey ? 0 : 2) << name;
    const auto raw = static_cast<std::uintmax_t>(ours.height) * (1 + (grey ? 1 : 3) * ours.width);
    EXPECT_GE(std::filesystem::file_size(intermediate.path() / name), raw) << name;
    EXPECT_LT(std::filesystem::file_size(balanced.path() / name), raw / 4) << name;
  }
}

// A 19 × 2 white raster (red, green, blue; rows of 60 bytes, the last three padding) with one
// byte changed, each byte in turn (-1: none); an intermediate page stays grey only while every
// pixel has equal red, green and blue. Sixteen pixels are tested a group at a time, the rest one
// by one.
constexpr int kGreyWidth = 19;
constexpr int kGreyStride = 60;

int ExpectedColourType(int changed_byte) {
  return changed_byte < 0 || changed_byte % kGreyStride >= 3 * kGreyWidth ? 0 : 2;
}

class IntermediateGrey : public ::testing::TestWithParam<int> {};

TEST_P(IntermediateGrey, ColourTypeFollowsThePixelsAndThePixelsStay) {
  std::vector<unsigned char> bytes(kGreyStride * 2, 0xff);
  if (GetParam() >= 0) bytes[static_cast<std::size_t>(GetParam())] = 0x40;
  const Raster raster{kGreyWidth, 2, kGreyStride, bytes.data(), nullptr};
  const ScratchFolder folder;
  const auto path = folder.path() / "p.png";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const Status written =
      WritePng(fd, raster, ChoosePngSettings(raster, PngMode::kIntermediate, true), 72);
  ::close(fd);
  ASSERT_TRUE(written) << written.Error();
  const auto page = ReadPng(path);
  ASSERT_EQ(page.error, "");
  EXPECT_EQ(page.colour_type, ExpectedColourType(GetParam()));
  // Nothing of a first, grey attempt is left after the IEND chunk.
  std::ifstream file(path, std::ios::binary);
  const std::string whole((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(whole.substr(whole.size() - 12), std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12));
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < kGreyWidth; ++x) {
      const unsigned char* p = raster.Row(y) + 3 * x;
      EXPECT_EQ(page.Pixel(x, y), (unsigned{p[0]} << 16) | (unsigned{p[1]} << 8) | p[2])
          << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ChangedByte, IntermediateGrey, ::testing::Range(-1, 2 * kGreyStride),
                         [](const auto& info) {
                           return info.param < 0 ? std::string("None")
                                                 : "Byte" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace quillamar::pagerender
