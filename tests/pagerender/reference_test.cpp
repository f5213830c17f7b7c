// Compares the renderer's pages with those of its engine's own command-line program at the same
// resolution (pdftoppm for poppler, mutool draw for MuPDF): the pixels must be identical. Built
// twice: a quick set at low resolution, and the whole shared set at 150 dpi with both engines and
// at 72 dpi with MuPDF.
#include <gtest/gtest.h>

#include "contract/renderer_contract.h"
#include "pagerender/pagerender.h"
#include "support/named_cases.h"
#include "support/pdf_pages.h"
#include "support/process.h"

namespace quillamar::pagerender {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

using testing::ScratchFolder;
using testing::TestPage;

const std::filesystem::path kPdfs = std::filesystem::path(QUILLAMAR_TESTDATA) / "pdfs";
constexpr char kPdftoppm[] = "/usr/bin/pdftoppm";
constexpr char kMutool[] = "/usr/bin/mutool";
constexpr const char* kMupdf = contract::kEngineMupdf;

struct ReferenceCase {
  std::string name;
  std::string pdf;  ///< a shared file, or "" for the generated pages
  std::vector<TestPage> generated;
  std::string dpi;
  std::vector<int> pages;  ///< pages to compare; empty: all pages
  int page_count;
  const char* engine = contract::kEnginePoppler;
  /// Why MuPDF hands the pages to poppler (they then equal pdftoppm's); null: MuPDF draws them.
  const char* by_poppler = nullptr;
};

std::string Text(const char* words) { return testing::ShowText(72, 700, 24, words); }

// Pages made here: text and colour on A4, A3 and rotated pages.
const std::vector<TestPage> kMadePages = {
    {595.28, 841.89, 0, Text("A4 portrait") + testing::FillRect(50, 50, 200, 120, 200, 30, 60)},
    {841.89, 1190.55, 90, Text("A3 turned") + testing::FillRect(300, 300, 80, 300, 10, 140, 90)},
    {595.28, 841.89, 180, Text("upside down")},
    {595.28, 841.89, 270, Text("A4 turned back") + testing::FillRect(0, 0, 30, 30, 0, 0, 0)},
    {168.48, 120.75, 0, testing::FillRect(10.3, 10.7, 100.1, 50.5, 90, 90, 250)},
};

// MuPDF counts an error for the image the page lacks and leaves the page to poppler.
const std::vector<TestPage> kPageWithError = {
    {200, 100, 0, "/Missing Do " + testing::FillRect(20, 20, 60, 60, 0, 0, 255)}};

#ifdef QUILLAMAR_REFERENCE_FULL
const ReferenceCase kReferenceCases[] = {
    {"MadePages", "", kMadePages, "150", {}, 5},
    {"ChartRasterGraph", "chart_raster_graph_1p.pdf", {}, "150", {}, 1},
    {"CjkChineseText", "cjk_chinese_text_15p.pdf", {}, "150", {1, 2, 8, 15}, 15},
    {"FormAcrobat", "form_acrobat_1p.pdf", {}, "150", {}, 1},
    {"FormLibreoffice", "form_libreoffice_1p.pdf", {}, "150", {}, 1},
    {"ImageCmykPhoto", "image_cmyk_photo_1p.pdf", {}, "150", {}, 1},
    {"ImageJpeg2000", "image_jpeg2000_1p.pdf", {}, "150", {}, 1},
    {"LongLectureNotes", "long_lecture_notes_117p.pdf", {}, "150", {1, 2, 60, 117}, 117},
    {"RotatedPages", "rotated_pages_4p.pdf", {}, "150", {}, 4},
    {"ScanJbig2", "scan_jbig2_1p.pdf", {}, "150", {}, 1},
    {"ScanMixedPageSizes", "scan_mixed_page_sizes_6p.pdf", {}, "150", {}, 6},
    {"SlidesSmallPages", "slides_small_pages_33p.pdf", {}, "150", {1, 17, 33}, 33},
    {"TextGoogledocs", "text_googledocs_1p.pdf", {}, "150", {}, 1},
    {"TextLatex", "text_latex_4p.pdf", {}, "150", {}, 4},
    {"TextManual", "text_manual_41p.pdf", {}, "150", {1, 20, 41}, 41},
    {"TextMulticolumn", "text_multicolumn_3p.pdf", {}, "150", {}, 3},
    {"TextWikipediaPrintout", "text_wikipedia_printout_1p.pdf", {}, "150", {}, 1},
    {"VectorCadDrawings", "vector_cad_drawings_7p.pdf", {}, "150", {}, 7},
    {"VectorCjkDrawings", "vector_cjk_drawings_51p.pdf", {}, "150", {1, 25, 51}, 51},
    {"VectorMap", "vector_map_1p.pdf", {}, "150", {}, 1},
    {"VectorPosterA3", "vector_poster_A3_1p.pdf", {}, "150", {}, 1},
    {"VectorSlidesOrnaments", "vector_slides_ornaments_6p.pdf", {}, "150", {}, 6},
    {"ExamA3Landscape", "考试 样例 exam A3 横向.pdf", {}, "150", {}, 5},
};

// Each case with poppler at 150 dpi, and with MuPDF at 72 and 150 dpi.
std::vector<ReferenceCase> WithBothEngines() {
  std::vector<ReferenceCase> cases;
  for (const ReferenceCase& poppler : kReferenceCases) {
    cases.push_back(poppler);
    for (const char* dpi : {"72", "150"}) {
      ReferenceCase mupdf = poppler;
      mupdf.name += std::string("MupdfAt") + dpi;
      mupdf.dpi = dpi;
      mupdf.engine = kMupdf;
      if (poppler.pdf == "image_cmyk_photo_1p.pdf") mupdf.by_poppler = "CMYK images";
      cases.push_back(std::move(mupdf));
    }
  }
  return cases;
}
#else
const ReferenceCase kReferenceCases[] = {
    {"MadePagesAt72", "", kMadePages, "72", {}, 5},
    {"MadePagesAtOddDpi", "", kMadePages, "57.3", {}, 5},
    {"TextLatex", "text_latex_4p.pdf", {}, "72", {1, 2}, 4},
    {"RotatedPages", "rotated_pages_4p.pdf", {}, "50", {}, 4},
    {"ExamA3Landscape", "考试 样例 exam A3 横向.pdf", {}, "50", {1}, 5},
    {"ScanMixedPageSizes", "scan_mixed_page_sizes_6p.pdf", {}, "50", {}, 6},
    {"ImageCmykPhoto", "image_cmyk_photo_1p.pdf", {}, "50", {}, 1},
    {"FormLibreoffice", "form_libreoffice_1p.pdf", {}, "72", {}, 1},
    // The map runs over the page's edge, which ends inside the last column of pixels at 110 dpi.
    {"VectorMapPartlyCoveredColumn", "vector_map_1p.pdf", {}, "110", {}, 1},
    {"MadePagesMupdf", "", kMadePages, "72", {}, 5, kMupdf},
    {"TextLatexMupdf", "text_latex_4p.pdf", {}, "72", {1, 2}, 4, kMupdf},
    {"ScanMixedPageSizesMupdf", "scan_mixed_page_sizes_6p.pdf", {}, "50", {}, 6, kMupdf},
    {"CmykByPoppler", "image_cmyk_photo_1p.pdf", {}, "50", {}, 1, kMupdf, "CMYK images"},
    {"PageWithErrorsByPoppler", "", kPageWithError, "72", {}, 1, kMupdf, "errors in the page"},
};
#endif

// The page as the case's reference program renders it (read back from a file in folder).
bool ComparesWithMutool(const ReferenceCase& c) {
  return c.engine == std::string(kMupdf) && c.by_poppler == nullptr;
}

testing::PngPage ReferencePage(const ReferenceCase& c, const std::string& pdf, int page,
                               const ScratchFolder& folder) {
  const std::string n = std::to_string(page);
  const auto prefix = folder.path() / ("ref_" + n);
  const auto run = testing::RunProcess(
      ComparesWithMutool(c)
          ? std::vector<std::string>{kMutool, "draw", "-q", "-r", c.dpi, "-o",
                                     prefix.string() + ".png", pdf, n}
          : std::vector<std::string>{kPdftoppm, "-png", "-r", c.dpi, "-f", n, "-l", n,
                                     "-singlefile", pdf, prefix.string()});
  testing::PngPage reference = testing::ReadPng(prefix.string() + ".png");
  if (run.exit_status != 0) reference.error = "reference failed: " + run.err;
  return reference;
}

// mutool draw sizes a page by its own rule, which can give a side one pixel less or more than
// ours: the pixels both have must be equal.
std::string FirstDifferenceInCommon(const testing::PngPage& ours,
                                    const testing::PngPage& reference) {
  if (std::abs(ours.width - reference.width) > 1 || std::abs(ours.height - reference.height) > 1 ||
      !ours.error.empty() || !reference.error.empty()) {
    return testing::FirstDifference(ours, reference);
  }
  for (int y = 0; y < std::min(ours.height, reference.height); ++y) {
    for (int x = 0; x < std::min(ours.width, reference.width); ++x) {
      if (ours.Pixel(x, y) != reference.Pixel(x, y)) {
        return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") differs";
      }
    }
  }
  return {};
}

class RendererReferenceTest : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(RendererReferenceTest, PixelsEqualTheEnginesOwnProgram) {
  const ReferenceCase& c = GetParam();
  const ScratchFolder folder;
  std::string pdf = (kPdfs / c.pdf).string();
  if (c.pdf.empty()) {
    pdf = (folder.path() / "made.pdf").string();
    testing::WriteFile(pdf, testing::MakePdf(c.generated));
  }
  const auto ours =
      testing::RunProcess({testing::RendererPath(), "-o", (folder.path() / "p_%d.png").string(),
                           "-F", "png", "-r", c.dpi, pdf},
                          {{contract::kEngineEnv, c.engine}, {contract::kVerboseEnv, "1"}});
  ASSERT_EQ(ours.exit_status, testing::kRendererSucceeded) << ours.err;
  // Which engine drew is seen, not guessed from pages that may look alike.
  const std::string said = c.by_poppler ? std::string(" rendered by poppler (") + c.by_poppler + ")"
                                        : std::string(" rendered by poppler");
  EXPECT_EQ(ours.err.find(said) != std::string::npos, c.by_poppler != nullptr) << ours.err;
  ASSERT_TRUE(
      std::filesystem::exists(folder.path() / ("p_" + std::to_string(c.page_count) + ".png")));
  ASSERT_FALSE(
      std::filesystem::exists(folder.path() / ("p_" + std::to_string(c.page_count + 1) + ".png")));
  std::vector<int> pages = c.pages;
  for (int page = 1; c.pages.empty() && page <= c.page_count; ++page) pages.push_back(page);
  for (const int page : pages) {
    const std::string n = std::to_string(page);
    const testing::PngPage ours = testing::ReadPng(folder.path() / ("p_" + n + ".png"));
    const testing::PngPage reference = ReferencePage(c, pdf, page, folder);
    EXPECT_EQ(ComparesWithMutool(c) ? FirstDifferenceInCommon(ours, reference)
                                    : testing::FirstDifference(ours, reference),
              "")
        << "page " << page;
  }
}

std::string CaseName(const ::testing::TestParamInfo<ReferenceCase>& info) {
  return info.param.name;
}

#ifdef QUILLAMAR_REFERENCE_FULL
INSTANTIATE_TEST_SUITE_P(RendererAllShared, RendererReferenceTest,
                         ::testing::ValuesIn(WithBothEngines()), CaseName);
#else
INSTANTIATE_TEST_SUITE_P(Renderer, RendererReferenceTest, ::testing::ValuesIn(kReferenceCases),
                         CaseName);
#endif

}  // namespace
}  // namespace quillamar::pagerender
