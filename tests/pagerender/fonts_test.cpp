// Text in fonts a PDF names but does not embed: CJK fonts through predefined CMaps and the standard
// fonts are drawn with matching faces, and text that cannot be drawn is reported, not lost quietly.
#include "pagerender/fonts.h"

#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "contract/renderer_contract.h"
#include "support/named_cases.h"
#include "support/pdf_pages.h"
#include "support/process.h"

namespace quillamar::pagerender {
namespace {

namespace fs = std::filesystem;
using namespace quillamar::testing;  // generated PDFs, pages read back, the renderer run
using quillamar::testing::PrintTo;   // table rows print as their names

// Pages at 72 dpi with text of 100 points: one pixel per point, 100 pixels to the em.
constexpr double kEm = 100;
constexpr double kTextX = 20;
constexpr double kBaseline = 60;
constexpr double kPageHeight = 200;

// A column holds ink when a pixel of it is clearly darker than the white paper.
std::vector<bool> InkColumns(const PngPage& page) {
  std::vector<bool> ink(static_cast<std::size_t>(page.width), false);
  for (int y = 0; y < page.height; ++y) {
    for (int x = 0; x < page.width; ++x) {
      if ((page.Pixel(x, y) & 0xff) < 0x80) ink[static_cast<std::size_t>(x)] = true;
    }
  }
  return ink;
}

// Runs of inked columns: [first, last] each.
std::vector<std::pair<int, int>> InkRuns(const std::vector<bool>& ink) {
  std::vector<std::pair<int, int>> runs;
  for (int x = 0; x < static_cast<int>(ink.size()); ++x) {
    if (!ink[static_cast<std::size_t>(x)]) continue;
    if (!runs.empty() && runs.back().second == x - 1) {
      runs.back().second = x;
    } else {
      runs.emplace_back(x, x);
    }
  }
  return runs;
}

std::string ShowWith(const std::string& font, const std::string& text_operand) {
  return "0 g BT /" + font + " " + std::to_string(kEm) + " Tf " + std::to_string(kTextX) + " " +
         std::to_string(kBaseline) + " Td " + text_operand + " Tj ET\n";
}

// Renders the PDF with the real program and reads its pages back.
struct Rendered {
  ProcessResult process;
  std::vector<PngPage> pages;
};
Rendered RenderPdf(const ScratchFolder& folder, const std::string& pdf, int page_count,
                   const std::vector<std::string>& wrapper = {}) {
  const fs::path file = folder.path() / "doc.pdf";
  WriteFile(file, pdf);
  std::vector<std::string> argv = wrapper;
  for (const std::string& piece :
       {RendererPath(), std::string("-o"), (folder.path() / "p_%d.png").string(), std::string("-F"),
        std::string("png"), std::string("-r"), std::string("72"), file.string()}) {
    argv.push_back(piece);
  }
  // The faces and warnings here are those poppler takes from fontconfig; MuPDF has its own faces.
  Rendered rendered{RunProcess(argv, {{contract::kEngineEnv, contract::kEnginePoppler}}), {}};
  for (int page = 1; page <= page_count; ++page) {
    rendered.pages.push_back(ReadPng(folder.path() / ("p_" + std::to_string(page) + ".png")));
  }
  return rendered;
}

// Renders the same text twice, in font F2 on page 1 and in F3 on page 2, both defined in fonts.
Rendered RenderInTwoFonts(const ScratchFolder& folder, const std::string& fonts,
                          const std::string& text_operand, double page_width) {
  const TestPage first{page_width, kPageHeight, 0, ShowWith("F2", text_operand)};
  const TestPage second{page_width, kPageHeight, 0, ShowWith("F3", text_operand)};
  return RenderPdf(folder, MakePdf({first, second}, fonts), 2);
}

// ---- CJK fonts through predefined CMaps

struct CjkCase {
  const char* name;
  const char* base_font;  // as PDFs from office software name it
  const char* cmap;
  const char* ordering;
  int supplement;
  const char* face;  // the installed face it must be drawn with
};

const CjkCase kCjkCases[] = {
    {"SongGB1", "STSong-Light", "UniGB-UCS2-H", "GB1", 2, "Noto Serif CJK SC"},
    {"HeiGB1", "STHeiti-Regular", "UniGB-UCS2-H", "GB1", 2, "Noto Sans CJK SC"},
    {"SimSunGB1", "SimSun", "UniGB-UCS2-H", "GB1", 2, "Noto Serif CJK SC"},
    {"SongNamedInChinese", "#E5#AE#8B#E4#BD#93", "UniGB-UCS2-H", "GB1", 2, "Noto Serif CJK SC"},
    {"MingCNS1", "MSung-Light", "UniCNS-UCS2-H", "CNS1", 0, "Noto Serif CJK TC"},
    {"HeiCNS1", "MHei-Medium", "UniCNS-UCS2-H", "CNS1", 0, "Noto Sans CJK TC"},
    {"MinchoJapan1", "HeiseiMin-W3", "UniJIS-UCS2-H", "Japan1", 2, "Noto Serif CJK JP"},
    {"GothicJapan1", "HeiseiKakuGo-W5", "UniJIS-UCS2-H", "Japan1", 2, "Noto Sans CJK JP"},
    {"MyeongjoKorea1", "HYSMyeongJo-Medium", "UniKS-UCS2-H", "Korea1", 1, "Noto Serif CJK KR"},
    {"GothicKorea1", "HYGoThic-Medium", "UniKS-UCS2-H", "Korea1", 1, "Noto Sans CJK KR"},
};

// A Type0 font without an embedded font program; family, when given, names the face outright.
std::string CjkFont(const CjkCase& c, const std::string& base_font, const std::string& family) {
  const std::string family_entry = family.empty() ? "" : " /FontFamily (" + family + ")";
  return "<< /Type /Font /Subtype /Type0 /BaseFont /" + base_font + " /Encoding /" + c.cmap +
         " /DescendantFonts [<< /Type /Font /Subtype /CIDFontType0 /BaseFont /" + base_font +
         " /CIDSystemInfo << /Registry (Adobe) /Ordering (" + c.ordering + ") /Supplement " +
         std::to_string(c.supplement) + " >> /DW 1000 /FontDescriptor << /Type /FontDescriptor" +
         " /FontName /" + base_font + family_entry +
         " /Flags 6 /FontBBox [0 -200 1000 900] /ItalicAngle 0 /Ascent 880 /Descent -120" +
         " /CapHeight 700 /StemV 80 >> >>] >>";
}

class CjkFontTest : public ::testing::TestWithParam<CjkCase> {};

// Page 1 asks for the font by its name, page 2 for the expected face by its family (with the same
// style words after the hyphen, so that both ask for the same weight): the pages must be equal.
TEST_P(CjkFontTest, DrawnWithTheMatchingFaceOneEmPerCharacter) {
  const CjkCase& c = GetParam();
  const std::string name = c.base_font;
  const std::size_t hyphen = name.find('-');
  const std::string reference =
      "Reference" + (hyphen == std::string::npos ? "" : name.substr(hyphen));
  const std::string text = "<4E2D65874E2D6587>";  // 中文中文 in UCS-2
  const ScratchFolder folder;
  const Rendered rendered = RenderInTwoFonts(
      folder, "/F2 " + CjkFont(c, name, "") + " /F3 " + CjkFont(c, reference, c.face), text,
      kTextX * 2 + 4 * kEm);
  ASSERT_EQ(rendered.process.exit_status, 0) << rendered.process.err;
  EXPECT_EQ(rendered.process.err, "");
  ASSERT_EQ(rendered.pages[0].error, "");
  EXPECT_EQ(FirstDifference(rendered.pages[0], rendered.pages[1]), "");

  // Every character leaves ink in its own em, and nothing lies past the fourth.
  const std::vector<bool> ink = InkColumns(rendered.pages[0]);
  for (int character = 0; character < 4; ++character) {
    const auto start = ink.begin() + static_cast<int>(kTextX + character * kEm);
    EXPECT_NE(std::find(start, start + static_cast<int>(kEm), true), start + static_cast<int>(kEm))
        << "character " << character;
  }
  EXPECT_EQ(std::find(ink.begin() + static_cast<int>(kTextX + 4 * kEm) + 1, ink.end(), true),
            ink.end());
}

QUILLAMAR_TABLE_TESTS(Fonts, CjkFontTest, kCjkCases);

// ---- The standard fonts

struct StandardCase {
  const char* name;
  const char* base_font;
  const char* face;   // the metric-compatible face it must be drawn with
  const char* style;  // the style words of base_font, asked of the face too
  int advance;        // of "m" in the font's published metrics, in thousandths of an em
};

const StandardCase kStandardCases[] = {
    {"Helvetica", "Helvetica", "Nimbus Sans", "", 833},
    {"HelveticaBold", "Helvetica-Bold", "Nimbus Sans", "-Bold", 889},
    {"HelveticaOblique", "Helvetica-Oblique", "Nimbus Sans", "-Oblique", 833},
    {"TimesRoman", "Times-Roman", "Nimbus Roman", "-Roman", 778},
    {"TimesBold", "Times-Bold", "Nimbus Roman", "-Bold", 833},
    {"TimesItalic", "Times-Italic", "Nimbus Roman", "-Italic", 722},
    {"Courier", "Courier", "Nimbus Mono PS", "", 600},
    {"CourierBoldOblique", "Courier-BoldOblique", "Nimbus Mono PS", "-BoldOblique", 600},
};

class StandardFontTest : public ::testing::TestWithParam<StandardCase> {};

// Page 1 asks for the standard font, page 2 for the expected face by its family with the same
// advance for "m": the pages must be equal, and the four glyphs span four advances.
TEST_P(StandardFontTest, DrawnWithTheMetricCompatibleFaceAtTheFontsAdvances) {
  const StandardCase& c = GetParam();
  const std::string fonts =
      std::string("/F2 << /Type /Font /Subtype /Type1 /BaseFont /") + c.base_font +
      " /Encoding /WinAnsiEncoding >> /F3 << /Type /Font /Subtype /Type1 /BaseFont /Reference" +
      c.style + " /Encoding /WinAnsiEncoding /FirstChar 109 /LastChar 109 /Widths [" +
      std::to_string(c.advance) +
      "] /FontDescriptor << /Type /FontDescriptor /FontName /Reference" + c.style +
      " /FontFamily (" + c.face +
      ") /Flags 32 /FontBBox [0 -200 1000 900] /ItalicAngle 0 /Ascent 700 /Descent -200" +
      " /CapHeight 700 /StemV 80 >> >>";
  const ScratchFolder folder;
  const Rendered rendered = RenderInTwoFonts(folder, fonts, "(mmmm)", 500);
  ASSERT_EQ(rendered.process.exit_status, 0) << rendered.process.err;
  EXPECT_EQ(rendered.process.err, "");
  EXPECT_EQ(FirstDifference(rendered.pages[0], rendered.pages[1]), "");
  const auto runs = InkRuns(InkColumns(rendered.pages[0]));
  ASSERT_FALSE(runs.empty());
  const double advance = c.advance * kEm / 1000;
  EXPECT_LT(runs.front().first, kTextX + advance);
  EXPECT_GT(runs.back().second, kTextX + 3 * advance);
  EXPECT_LT(runs.back().second, kTextX + 4 * advance + kEm / 20);  // slanted or serifed ends
}

QUILLAMAR_TABLE_TESTS(Fonts, StandardFontTest, kStandardCases);

TEST(StandardFontTest, SymbolAndDingbatsAreDrawn) {
  const std::string fonts =
      "/F2 << /Type /Font /Subtype /Type1 /BaseFont /Symbol >> "
      "/F3 << /Type /Font /Subtype /Type1 /BaseFont /ZapfDingbats >>";
  const ScratchFolder folder;
  const Rendered rendered = RenderInTwoFonts(folder, fonts, "(abcd)", 500);
  ASSERT_EQ(rendered.process.exit_status, 0) << rendered.process.err;
  EXPECT_EQ(rendered.process.err, "");
  for (const PngPage& page : rendered.pages) EXPECT_EQ(InkRuns(InkColumns(page)).size(), 4u);
}

// ---- Text that cannot be drawn

struct WarningCase {
  const char* name;
  UndrawnTextPages pages;
  std::string text;
};

constexpr char kNotDrawn[] = "a.pdf: text not drawn (font missing or unusable): ";

// Fonts A to J: J on page 2, the others on page 1.
UndrawnTextPages TenFonts() {
  UndrawnTextPages pages;
  for (char font = 'A'; font <= 'J'; ++font) pages[std::string(1, font)] = {font == 'J' ? 2 : 1};
  return pages;
}

const WarningCase kWarningCases[] = {
    {"RangesAndSinglePages",
     {{"STSong-Light", {1, 2, 3, 7, 9, 10}}, {"F2", {4}}},
     std::string(kNotDrawn) + "F2 on page 4; STSong-Light on pages 1-3, 7, 9-10"},
    {"ControlCharactersInNames",
     {{"Bad\nName\r", {2}}},
     std::string(kNotDrawn) + "Bad?Name? on page 2"},
    {"AtMostEightFontsNamed", TenFonts(),
     std::string(kNotDrawn) + "A on page 1; B on page 1; C on page 1; D on page 1; E on page 1; " +
         "F on page 1; G on page 1; H on page 1; 2 more fonts"},
};

class UndrawnTextWarningTest : public ::testing::TestWithParam<WarningCase> {};

TEST_P(UndrawnTextWarningTest, OneLineWithFontsAndPageRanges) {
  EXPECT_EQ(UndrawnTextWarning("a.pdf", GetParam().pages), GetParam().text);
}

QUILLAMAR_TABLE_TESTS(Fonts, UndrawnTextWarningTest, kWarningCases);

// Hides a folder behind an empty one in a private mount namespace, for the renderer only.
std::vector<std::string> Hiding(const std::string& folder, const fs::path& empty) {
  return {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
          "mount --bind '" + empty.string() + "' '" + folder + "' && exec \"$0\" \"$@\""};
}

// Runs the command with the folder hidden. The system's font caches are hidden too, behind a
// scratch folder: a font tool would otherwise store there what it finds in the hidden folder, and
// every later font lookup of the machine would have to scan that folder again.
ProcessResult RunHiding(const std::string& folder, const fs::path& empty,
                        const std::vector<std::string>& command) {
  const ScratchFolder caches;
  std::vector<std::string> argv = Hiding(folder, empty);
  const std::vector<std::string> private_caches = Hiding("/var/cache/fontconfig", caches.path());
  argv.insert(argv.end(), private_caches.begin(), private_caches.end());
  argv.insert(argv.end(), {"/usr/bin/env", "XDG_CACHE_HOME=" + caches.path().string()});
  argv.insert(argv.end(), command.begin(), command.end());
  return RunProcess(argv);
}

struct MissingCase {
  const char* name;
  const char* hidden;  // the folder that holds what the text needs
  bool hides_faces;    // of simplified Chinese, all of them
};

const MissingCase kMissingCases[] = {
    {"NoCMaps", "/usr/share/poppler", false},
    {"NoFaces", "/usr/share/fonts", true},
    {"NoCjkFaces", "/usr/share/fonts/opentype/noto", true},
};

class MissingFontDataTest : public ::testing::TestWithParam<MissingCase> {};

// Pages 1 and 3 hold Chinese text, page 2 only a rectangle: every page is written, the status
// stays 0, and one warning names the font and its pages.
TEST_P(MissingFontDataTest, PagesAreWrittenAndOneWarningNamesFontAndPages) {
  const MissingCase& c = GetParam();
  const ScratchFolder empty;
  if (RunHiding(c.hidden, empty.path(), {"/bin/true"}).exit_status != 0) {
    GTEST_SKIP() << "no private mount namespace here (needs root)";
  }
  if (c.hides_faces &&
      !RunHiding(c.hidden, empty.path(), {"/usr/bin/fc-list", ":lang=zh-cn", "file"}).out.empty()) {
    GTEST_SKIP() << "faces for Chinese lie elsewhere on this machine too";
  }
  const CjkCase& song = kCjkCases[0];
  const TestPage chinese{300, kPageHeight, 0, ShowWith("F2", "<4E2D6587>")};
  const TestPage plain{300, kPageHeight, 0, FillRect(0, 0, 10, 10, 0, 0, 0)};
  const ScratchFolder folder;
  const Rendered rendered = RenderPdf(
      folder, MakePdf({chinese, plain, chinese}, "/F2 " + CjkFont(song, "STSong-Light", "")), 3,
      Hiding(c.hidden, empty.path()));
  EXPECT_EQ(rendered.process.exit_status, 0);
  for (const PngPage& page : rendered.pages) EXPECT_EQ(page.error, "");
  EXPECT_EQ(rendered.process.err, "lib.dll: warning: " + (folder.path() / "doc.pdf").string() +
                                      ": text not drawn (font missing or unusable): STSong-Light "
                                      "on pages 1, 3\n");
}

QUILLAMAR_TABLE_TESTS(Fonts, MissingFontDataTest, kMissingCases);

// ---- The font setup, loaded only when first needed

// Whether path, with its links resolved, lies in folder or beneath it.
bool IsBeneath(const fs::path& path, const fs::path& folder) {
  const fs::path real = fs::weakly_canonical(path);
  const fs::path root = fs::weakly_canonical(folder);
  const auto [root_end, unused] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
  return root_end == root.end();
}

// The renderer is confined before its font setup loads: the folders it names in advance must hold
// every file and folder that the setup, once loaded, reads.
TEST(FontSetupTest, FoldersNamedInAdvanceHoldAllTheLoadedSetupReads) {
  const fs::path setup = fs::path(RendererPath()).parent_path() / kFontSetupFileName;
  ASSERT_TRUE(UseFontSetup(setup.parent_path().string()));
  const std::vector<std::string> folders = FontSetupFolders();
  FcConfig* config = FcConfigCreate();
  ASSERT_TRUE(
      FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(setup.c_str()), FcTrue));
  int named = 0;
  for (FcStrList* list : {FcConfigGetConfigFiles(config), FcConfigGetConfigDirs(config),
                          FcConfigGetFontDirs(config), FcConfigGetCacheDirs(config)}) {
    while (const FcChar8* path = FcStrListNext(list)) {
      const std::string text = reinterpret_cast<const char*>(path);
      ++named;
      EXPECT_TRUE(std::any_of(folders.begin(), folders.end(), [&](const std::string& folder) {
        return IsBeneath(text, folder);
      })) << text;
    }
    FcStrListDone(list);
  }
  FcConfigDestroy(config);
  EXPECT_GT(named, 3);
}

TEST(FontSetupTest, FolderWithoutTheSetupIsRefused) {
  const ScratchFolder folder;
  EXPECT_FALSE(UseFontSetup(folder.path().string()));
}

}  // namespace
}  // namespace quillamar::pagerender
