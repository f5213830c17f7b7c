// Tests of the renderer's command line and page file names.
#include <gtest/gtest.h>

#include "pagerender/pagerender.h"
#include "support/named_cases.h"

namespace quillamar::pagerender {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

// The arguments as the run passes them, with the resolution, output pattern, PDF and format given.
std::vector<std::string> Arguments(const std::string& resolution,
                                   const std::string& pattern = "p%d",
                                   const std::string& pdf = "f.pdf",
                                   const std::string& format = "png") {
  return {"lib", "-o", pattern, "-F", format, "-r", resolution, pdf};
}

struct GoodCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string pattern;
  double resolution;
  std::string pdf;
};

const GoodCase kGoodCases[] = {
    {"AsTheRunPassesThem", Arguments("150", "/out/a_%d.png", "/in/a.pdf"), "/out/a_%d.png", 150,
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
    {"Decimal", Arguments("72.5"), "p%d", 72.5, "f.pdf"},
    {"LeadingDot", Arguments(".5"), "p%d", 0.5, "f.pdf"},
    {"AtTheLimit", Arguments("2400"), "p%d", 2400, "f.pdf"},
    {"ChineseAndPercent", Arguments("96", "/输出/50%d off_%d.png", "/文件/50%d off.pdf"),
     "/输出/50%d off_%d.png", 96, "/文件/50%d off.pdf"},
};

class RendererGoodArgumentsTest : public ::testing::TestWithParam<GoodCase> {};

TEST_P(RendererGoodArgumentsTest, GivesTheOptions) {
  const GoodCase& c = GetParam();
  const Result<Options> parsed = ParseArguments(c.arguments);
  ASSERT_TRUE(parsed) << parsed.Error();
  EXPECT_EQ(parsed->pattern, c.pattern);
  EXPECT_DOUBLE_EQ(parsed->resolution, c.resolution);
  EXPECT_EQ(parsed->pdf, c.pdf);
}

QUILLAMAR_TABLE_TESTS(Renderer, RendererGoodArgumentsTest, kGoodCases);

struct BadCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string error;
};

// A resolution that is refused, and the reason given for it.
BadCase NotPositive(const char* name, const std::string& resolution) {
  return {name, Arguments(resolution),
          "resolution \"" + resolution + "\" is not a positive number"};
}
BadCase AboveLimit(const char* name, const std::string& resolution) {
  return {name, Arguments(resolution),
          "resolution \"" + resolution + "\" is above the limit of 2400 dpi"};
}

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
    {"FormatJpg", Arguments("72", "p%d", "f.pdf", "jpg"), "image type \"jpg\" is not png"},
    {"FormatUpperCase", Arguments("72", "p%d", "f.pdf", "PNG"), "image type \"PNG\" is not png"},
    {"PatternWithoutPage", Arguments("72", "p.png"),
     "output pattern \"p.png\" has no %d for the page number"},
    NotPositive("ResolutionEmpty", ""),
    NotPositive("ResolutionZero", "0"),
    NotPositive("ResolutionZeroDecimal", "0.0"),
    NotPositive("ResolutionNegative", "-72"),
    NotPositive("ResolutionWord", "abc"),
    NotPositive("ResolutionExponent", "1e2"),
    NotPositive("ResolutionInfinite", "inf"),
    NotPositive("ResolutionTwoDots", "7.2.5"),
    NotPositive("ResolutionLoneDot", "."),
    NotPositive("ResolutionBlank", " 72"),
    AboveLimit("ResolutionAboveLimit", "2400.5"),
    AboveLimit("ResolutionHuge", "99999999999999999999999"),
};

class RendererBadArgumentsTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(RendererBadArgumentsTest, GiveOneReason) {
  const BadCase& c = GetParam();
  const Result<Options> parsed = ParseArguments(c.arguments);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.Error(), c.error);
}

QUILLAMAR_TABLE_TESTS(Renderer, RendererBadArgumentsTest, kBadCases);

struct NameCase {
  const char* name;
  const char* pattern;
  int page;
  const char* expected;
};

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

class RendererPageFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(RendererPageFileNameTest, ReplacesTheLastMarker) {
  const NameCase& c = GetParam();
  EXPECT_EQ(PageFileName(c.pattern, c.page), c.expected);
}

QUILLAMAR_TABLE_TESTS(Renderer, RendererPageFileNameTest, kNameCases);

}  // namespace
}  // namespace quillamar::pagerender
