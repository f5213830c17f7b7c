// Tests of the renderer's command line and page file names.
#include <gtest/gtest.h>

#include "pagerender/pagerender.h"

namespace quillamar::pagerender {
namespace {

struct GoodCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string pattern;
  double resolution;
  std::string pdf;
};

void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.name; }

const GoodCase kGoodCases[] = {
    {"AsTheRunPassesThem",
     {"lib", "-o", "/out/a_%d.png", "-F", "png", "-r", "150", "/in/a.pdf"},
     "/out/a_%d.png",
     150,
     "/in/a.pdf"},
    {"PdfFirst",
     {"lib", "/in/a.pdf", "-r", "72", "-F", "png", "-o", "x_%d.png"},
     "x_%d.png",
     72,
     "/in/a.pdf"},
    {"PdfBetweenOptions",
     {"lib", "-r", "300", "/in/b c.pdf", "-o", "o_%d.png", "-F", "png"},
     "o_%d.png",
     300,
     "/in/b c.pdf"},
    {"Decimal", {"lib", "-o", "p%d", "-F", "png", "-r", "72.5", "f.pdf"}, "p%d", 72.5, "f.pdf"},
    {"LeadingDot", {"lib", "-o", "p%d", "-F", "png", "-r", ".5", "f.pdf"}, "p%d", 0.5, "f.pdf"},
    {"AtTheLimit", {"lib", "-o", "p%d", "-F", "png", "-r", "2400", "f.pdf"}, "p%d", 2400, "f.pdf"},
    {"ChineseAndPercent",
     {"lib", "-o", "/输出/50%d off_%d.png", "-F", "png", "-r", "96", "/文件/50%d off.pdf"},
     "/输出/50%d off_%d.png",
     96,
     "/文件/50%d off.pdf"},
};

class RendererGoodArgumentsTest : public testing::TestWithParam<GoodCase> {};

TEST_P(RendererGoodArgumentsTest, GivesTheOptions) {
  const GoodCase& c = GetParam();
  const Result<Options> parsed = ParseArguments(c.arguments);
  ASSERT_TRUE(parsed) << parsed.Error();
  EXPECT_EQ(parsed->pattern, c.pattern);
  EXPECT_DOUBLE_EQ(parsed->resolution, c.resolution);
  EXPECT_EQ(parsed->pdf, c.pdf);
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererGoodArgumentsTest, testing::ValuesIn(kGoodCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* error;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

const BadCase kBadCases[] = {
    {"NoArguments", {"lib"}, "missing option -o PATTERN"},
    {"NoPattern", {"lib", "-F", "png", "-r", "72", "a.pdf"}, "missing option -o PATTERN"},
    {"NoFormat", {"lib", "-o", "p%d", "-r", "72", "a.pdf"}, "missing option -F png"},
    {"NoResolution", {"lib", "-o", "p%d", "-F", "png", "a.pdf"}, "missing option -r RESOLUTION"},
    {"NoPdf", {"lib", "-o", "p%d", "-F", "png", "-r", "72"}, "missing PDF file"},
    {"ValueMissingAtEnd",
     {"lib", "a.pdf", "-F", "png", "-r", "72", "-o"},
     "option -o needs a value"},
    {"OptionTwice",
     {"lib", "-o", "p%d", "-o", "q%d", "-F", "png", "-r", "72", "a.pdf"},
     "option -o given twice"},
    {"UnknownOption",
     {"lib", "-x", "-o", "p%d", "-F", "png", "-r", "72", "a.pdf"},
     "unknown option -x"},
    {"TwoPdfs",
     {"lib", "-o", "p%d", "-F", "png", "-r", "72", "a.pdf", "b.pdf"},
     "more than one PDF given: a.pdf, b.pdf"},
    {"FormatJpg",
     {"lib", "-o", "p%d", "-F", "jpg", "-r", "72", "a.pdf"},
     "image type \"jpg\" is not png"},
    {"FormatUpperCase",
     {"lib", "-o", "p%d", "-F", "PNG", "-r", "72", "a.pdf"},
     "image type \"PNG\" is not png"},
    {"PatternWithoutPage",
     {"lib", "-o", "p.png", "-F", "png", "-r", "72", "a.pdf"},
     "output pattern \"p.png\" has no %d for the page number"},
    {"ResolutionEmpty",
     {"lib", "-o", "p%d", "-F", "png", "-r", "", "a.pdf"},
     "resolution \"\" is not a positive number"},
    {"ResolutionZero",
     {"lib", "-o", "p%d", "-F", "png", "-r", "0", "a.pdf"},
     "resolution \"0\" is not a positive number"},
    {"ResolutionZeroDecimal",
     {"lib", "-o", "p%d", "-F", "png", "-r", "0.0", "a.pdf"},
     "resolution \"0.0\" is not a positive number"},
    {"ResolutionNegative",
     {"lib", "-o", "p%d", "-F", "png", "-r", "-72", "a.pdf"},
     "resolution \"-72\" is not a positive number"},
    {"ResolutionWord",
     {"lib", "-o", "p%d", "-F", "png", "-r", "abc", "a.pdf"},
     "resolution \"abc\" is not a positive number"},
    {"ResolutionExponent",
     {"lib", "-o", "p%d", "-F", "png", "-r", "1e2", "a.pdf"},
     "resolution \"1e2\" is not a positive number"},
    {"ResolutionInfinite",
     {"lib", "-o", "p%d", "-F", "png", "-r", "inf", "a.pdf"},
     "resolution \"inf\" is not a positive number"},
    {"ResolutionTwoDots",
     {"lib", "-o", "p%d", "-F", "png", "-r", "7.2.5", "a.pdf"},
     "resolution \"7.2.5\" is not a positive number"},
    {"ResolutionLoneDot",
     {"lib", "-o", "p%d", "-F", "png", "-r", ".", "a.pdf"},
     "resolution \".\" is not a positive number"},
    {"ResolutionBlank",
     {"lib", "-o", "p%d", "-F", "png", "-r", " 72", "a.pdf"},
     "resolution \" 72\" is not a positive number"},
    {"ResolutionAboveLimit",
     {"lib", "-o", "p%d", "-F", "png", "-r", "2400.5", "a.pdf"},
     "resolution \"2400.5\" is above the limit of 2400 dpi"},
    {"ResolutionHuge",
     {"lib", "-o", "p%d", "-F", "png", "-r", "99999999999999999999999", "a.pdf"},
     "resolution \"99999999999999999999999\" is above the limit of 2400 dpi"},
};

class RendererBadArgumentsTest : public testing::TestWithParam<BadCase> {};

TEST_P(RendererBadArgumentsTest, GiveOneReason) {
  const BadCase& c = GetParam();
  const Result<Options> parsed = ParseArguments(c.arguments);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.Error(), c.error);
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererBadArgumentsTest, testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct NameCase {
  const char* name;
  const char* pattern;
  int page;
  const char* expected;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

const NameCase kNameCases[] = {
    {"FirstPage", "/out/a_%d.png", 1, "/out/a_1.png"},
    {"NoLeadingZeros", "/out/a_%d.png", 10, "/out/a_10.png"},
    {"LargeNumber", "a_%d.png", 10000, "a_10000.png"},
    {"LastMarkerOnly", "/out/50%d off_%d.png", 3, "/out/50%d off_3.png"},
    {"StrayPercents", "/o/100% %s %%_%d.png", 2, "/o/100% %s %%_2.png"},
    {"MarkerInFolder", "/o/%d/p_%d.png", 7, "/o/%d/p_7.png"},
    {"PercentAfterMarker", "/o/p_%d%.png", 4, "/o/p_4%.png"},
    {"DoublePercentBeforeD", "/o/p_%%d.png", 5, "/o/p_%5.png"},
};

class RendererPageFileNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(RendererPageFileNameTest, ReplacesTheLastMarker) {
  const NameCase& c = GetParam();
  EXPECT_EQ(PageFileName(c.pattern, c.page), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererPageFileNameTest, testing::ValuesIn(kNameCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillamar::pagerender
