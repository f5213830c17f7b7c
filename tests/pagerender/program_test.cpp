// Tests of the renderer program as the run starts it: exit statuses, its one error line, the
// files it leaves on bad input, a full disk and a stop by signal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>

#include "pagerender/pagerender.h"
#include "support/named_cases.h"
#include "support/pdf_pages.h"
#include "support/process.h"

namespace quillamar::pagerender {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

using testing::ScratchFolder;
using ::testing::StartsWith;
using testing::TestPage;

const std::filesystem::path kPdfs = std::filesystem::path(QUILLAMAR_TESTDATA) / "pdfs";

std::vector<std::string> Arguments(const std::string& pattern, const std::string& dpi,
                                   const std::string& pdf) {
  return {testing::RendererPath(), "-o", pattern, "-F", "png", "-r", dpi, pdf};
}

// Page files and leftovers in a folder: every entry except the input PDFs.
std::vector<std::string> Outputs(const ScratchFolder& folder) {
  std::vector<std::string> names;
  for (const auto& name : folder.Entries()) {
    if (!name.ends_with(".pdf") && name != "input") names.push_back(name);
  }
  return names;
}

std::string WritePdf(const ScratchFolder& folder, const std::vector<TestPage>& pages) {
  const auto path = folder.path() / "input.pdf";
  testing::WriteFile(path, testing::MakePdf(pages));
  return path.string();
}

struct Input {
  std::string pdf;
  std::string pattern;
};

std::string PatternIn(const ScratchFolder& folder) { return (folder.path() / "p_%d.png").string(); }

Input BytesAsPdf(const ScratchFolder& folder, const std::string& bytes) {
  testing::WriteFile(folder.path() / "input.pdf", bytes);
  return {(folder.path() / "input.pdf").string(), PatternIn(folder)};
}

// What a case puts in its folder, and the input it gives the renderer.
using Prepare = std::function<Input(const ScratchFolder&)>;
using Path = std::filesystem::path;

// The PDF named, made by make (or left missing); its pages go beside it.
Prepare Made(const char* name, void (*make)(const Path& pdf)) {
  return [=](const ScratchFolder& f) {
    make(f.path() / name);
    return Input{(f.path() / name).string(), PatternIn(f)};
  };
}
Prepare Bytes(const std::string& bytes) {
  return [=](const ScratchFolder& f) { return BytesAsPdf(f, bytes); };
}
Prepare Shared(const char* name) {
  return [=](const ScratchFolder& f) { return Input{(kPdfs / name).string(), PatternIn(f)}; };
}
// A PDF of the pages, its pages written under pattern in the folder after make has run there.
Prepare Pages(
    std::vector<TestPage> pages, const char* pattern = "p_%d.png",
    void (*make)(const Path& folder) = [](const Path&) {}) {
  return [=](const ScratchFolder& f) {
    make(f.path());
    return Input{WritePdf(f, pages), (f.path() / pattern).string()};
  };
}

struct BadInputCase {
  const char* name;
  Prepare prepare;
  std::string message;  ///< what follows "lib.dll: PDF: "
  std::vector<std::string> files_left = {};
  const char* dpi = "72";
};

const std::string kNotAPdf = "not a PDF file, or damaged beyond repair";

const BadInputCase kBadInputCases[] = {
    {"MissingFile", Made("none.pdf", [](const Path&) {}), "cannot open: No such file or directory"},
    {"FolderInsteadOfFile", Made("input", [](const Path& p) { create_directory(p); }),
     "cannot read: Is a directory"},
    {"Pipe", Made("input.pdf", [](const Path& p) { ::mkfifo(p.c_str(), 0600); }),
     "not a regular file"},
    {"EmptyFile", Bytes(""), kNotAPdf},
    {"TextFile", Bytes("just some words\n"), kNotAPdf},
    {"TruncatedPdf", Shared("damaged_truncated.pdf"), kNotAPdf},
    {"BrokenPageTree", Shared("damaged_xref_broken.pdf"),
     "page 1: the page cannot be read (damaged page tree) (3 more pages also failed)"},
    {"PageAboveThePixelLimit",
     Pages({{100, 100, 0, ""}, {2160, 2160, 0, ""}, {50, 50, 0, ""}}),
     "page 2: the page would be 18000 x 18000 pixels, above the limit of 300 megapixels",
     {"p_1.png", "p_3.png"},
     "600"},
    {"MissingOutputFolder", Pages({{100, 100, 0, ""}}, "no/p_%d.png"),
     "page 1: cannot write {}/no/p_1.png: No such file or directory"},
    {"OutputFolderIsAFile",
     Pages({{100, 100, 0, ""}}, "plain/p_%d.png",
           [](const Path& f) { testing::WriteFile(f / "plain", "x"); }),
     "page 1: cannot write {}/plain/p_1.png: Not a directory",
     {"plain"}},
    {"PageNameTakenByAFolder",
     Pages({{100, 100, 0, ""}}, "p_%d.png", [](const Path& f) { create_directory(f / "p_1.png"); }),
     "page 1: cannot write {}/p_1.png: Is a directory",
     {"p_1.png"}},
};

// Both engines: what MuPDF cannot do, poppler does, and the user sees poppler's line and files.
const char* const kEngines[] = {contract::kEnginePoppler, contract::kEngineMupdf};

std::map<std::string, std::string> EngineEnvironment(const char* engine) {
  return {{contract::kEngineEnv, engine}};
}

class RendererBadInputTest
    : public ::testing::TestWithParam<std::tuple<BadInputCase, const char*>> {};

TEST_P(RendererBadInputTest, OneLineNamingFileAndPageAndNoPartialFile) {
  const auto& [c, engine] = GetParam();
  const ScratchFolder folder;
  const Input input = c.prepare(folder);
  const auto result =
      testing::RunProcess(Arguments(input.pattern, c.dpi, input.pdf), EngineEnvironment(engine));
  EXPECT_EQ(result.exit_status, testing::kRendererFailed);
  EXPECT_EQ(result.out, "");
  std::string message = c.message;
  if (const auto at = message.find("{}"); at != std::string::npos) {
    message.replace(at, 2, folder.path().string());
  }
  EXPECT_EQ(result.err, "lib.dll: " + input.pdf + ": " + message + "\n");
  EXPECT_EQ(Outputs(folder), c.files_left);
  for (const auto& name : c.files_left) {
    if (name.ends_with(".png") && std::filesystem::is_regular_file(folder.path() / name)) {
      EXPECT_EQ(testing::ReadPng(folder.path() / name).error, "") << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererBadInputTest,
                         ::testing::Combine(::testing::ValuesIn(kBadInputCases),
                                            ::testing::ValuesIn(kEngines)),
                         quillamar::testing::kCaseAndWordName);

// A PDF of our own, locked by qpdf with AES-256 and a password of Chinese characters and blanks.
std::string LockedPdf(const ScratchFolder& folder, const std::string& password) {
  const std::string plain = WritePdf(folder, {{100, 100, 0, ""}});
  const std::string locked = (folder.path() / "locked.pdf").string();
  const auto result = testing::RunProcess(
      {"/usr/bin/qpdf", "--encrypt", password, "owner", "256", "--", plain, locked});
  return result.exit_status == 0 ? locked : std::string();
}

// The password comes through an inherited in-memory file whose number the variable names.
class PasswordFile {
 public:
  explicit PasswordFile(const std::string& password)
      : fd_(::memfd_create("password", /*flags=*/0)) {
    if (fd_ >= 0 && ::write(fd_, password.data(), password.size()) >= 0) ::lseek(fd_, 0, SEEK_SET);
  }
  ~PasswordFile() { ::close(fd_); }
  PasswordFile(const PasswordFile&) = delete;
  PasswordFile& operator=(const PasswordFile&) = delete;
  std::map<std::string, std::string> Environment() const {
    return {{contract::kPasswordFdEnv, std::to_string(fd_)}};
  }

 private:
  int fd_;
};

struct PasswordCase {
  const char* name;
  bool shared_pdf;  ///< the shared RC4 PDF (password "openpassword"), else our AES-256 one
  std::optional<std::string> given;
  int exit_status;
};

constexpr char kOurPassword[] = "开 门 sesame";

const PasswordCase kPasswordCases[] = {
    {"SharedWithoutPassword", true, std::nullopt, testing::kRendererNeedsPassword},
    {"SharedWrongPassword", true, "openpassworD", testing::kRendererNeedsPassword},
    {"SharedRightPassword", true, "openpassword", testing::kRendererSucceeded},
    {"OursWithoutPassword", false, std::nullopt, testing::kRendererNeedsPassword},
    {"OursWithLineEnd", false, std::string(kOurPassword) + "\n", testing::kRendererNeedsPassword},
    {"OursRightPassword", false, kOurPassword, testing::kRendererSucceeded},
};

class RendererPasswordTest
    : public ::testing::TestWithParam<std::tuple<PasswordCase, const char*>> {};

TEST_P(RendererPasswordTest, OpensOnlyWithTheRightPasswordAndNeverShowsIt) {
  const auto& [c, engine] = GetParam();
  const ScratchFolder folder;
  const std::string pdf = c.shared_pdf ? (kPdfs / "encrypted_user_password.pdf").string()
                                       : LockedPdf(folder, kOurPassword);
  if (pdf.empty()) GTEST_SKIP() << "qpdf cannot lock a PDF here (is it installed?)";
  const PasswordFile password(c.given.value_or(""));
  std::map<std::string, std::string> environment = EngineEnvironment(engine);
  if (c.given) environment.merge(password.Environment());
  const auto result = testing::RunProcess(Arguments(PatternIn(folder), "20", pdf), environment);
  EXPECT_EQ(result.exit_status, c.exit_status);
  if (c.exit_status == testing::kRendererSucceeded) {
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(testing::ReadPng(folder.path() / "p_1.png").error, "");
  } else {
    EXPECT_EQ(result.err, "lib.dll: " + pdf + ": protected by a password\n");
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "p_1.png"));
  }
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererPasswordTest,
                         ::testing::Combine(::testing::ValuesIn(kPasswordCases),
                                            ::testing::ValuesIn(kEngines)),
                         quillamar::testing::kCaseAndWordName);

// The reasons themselves are options_test's; here, that the program ends with them as it should.
struct UsageCase {
  const char* name;
  std::vector<std::string> arguments;  ///< after the program name
  const char* reason;
  const char* engine = contract::kEnginePoppler;
};

const UsageCase kUsageCases[] = {
    {"NoArguments", {}, "missing option -o PATTERN"},
    {"UnknownEngine",
     {"-o", "p_%d.png", "-F", "png", "-r", "72", "a.pdf"},
     "QUILLAMAR_ENGINE names no engine: 'turbo' (use mupdf or poppler)",
     "turbo"},
};

class RendererUsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(RendererUsageTest, ExitsWithTwoAndOneLine) {
  std::vector<std::string> argv = {testing::RendererPath()};
  argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const auto result = testing::RunProcess(argv, EngineEnvironment(GetParam().engine));
  EXPECT_EQ(result.exit_status, testing::kRendererUsage);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, std::string("lib.dll: ") + GetParam().reason +
                            " (usage: lib -o PATTERN -F png -r DPI FILE.pdf)\n");
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererUsageTest, ::testing::ValuesIn(kUsageCases),
                         quillamar::testing::kCaseName);

TEST(RendererProgramTest, BlanksPercentAndChineseInNamesSurvive) {
  const ScratchFolder folder;
  const auto sub = folder.path() / "输出 目录";
  std::filesystem::create_directory(sub);
  const auto pdf = folder.path() / "50%d off 报告.pdf";
  testing::WriteFile(pdf, testing::MakePdf({{100, 100, 0, ""}, {100, 50, 0, ""}}));
  const auto result =
      testing::RunProcess(Arguments((sub / "50%d off 报告_%d.png").string(), "72", pdf.string()));
  EXPECT_EQ(result.exit_status, testing::kRendererSucceeded) << result.err;
  EXPECT_EQ(result.out + result.err, "");
  EXPECT_EQ(testing::ReadPng(sub / "50%d off 报告_1.png").height, 100);
  EXPECT_EQ(testing::ReadPng(sub / "50%d off 报告_2.png").height, 50);
}

// Sanitizer builds keep standard error open for their reports, and hold memory of their own: the
// next two tests hold only without them.
#if !defined(QUILLAMAR_SANITIZER_BUILD)
TEST(RendererProgramTest, WarningsPrintedByLibrariesDoNotReachTheRun) {
  // One changed byte in this form's JPEG image makes the JPEG decoder warn on standard error.
  std::string pdf = testing::ReadFileText(kPdfs / "form_acrobat_1p.pdf");
  constexpr std::size_t kImageByte = 2948;
  ASSERT_GT(pdf.size(), kImageByte);
  ASSERT_EQ(pdf[kImageByte], '\x18');
  pdf[kImageByte] = '\x05';
  const ScratchFolder folder;
  const auto result =
      testing::RunProcess(Arguments(PatternIn(folder), "20", BytesAsPdf(folder, pdf).pdf));
  EXPECT_EQ(result.exit_status, testing::kRendererSucceeded);
  EXPECT_EQ(result.out + result.err, "");
  EXPECT_EQ(testing::ReadPng(folder.path() / "p_1.png").error, "");
}

// A page that would take the pages being rendered above the budget waits: at one and a half
// pages' worth the renderer holds one page at a time, well below the two it holds at four.
TEST(RendererProgramTest, TheMemoryBudgetHoldsPagesBack) {
  constexpr long long kPage = 4961LL * 7016 * contract::kRendererBytesPerPixel;  // A4, 600 dpi
  for (const char* engine : {"poppler", "mupdf"}) {
    const auto peak = [&](long long budget) {
      const ScratchFolder folder;
      auto environment = EngineEnvironment(engine);
      environment.insert(
          {{contract::kWorkersEnv, "2"}, {contract::kMemoryBudgetEnv, std::to_string(budget)}});
      const auto result = testing::RunProcess(
          Arguments(PatternIn(folder), "600", kPdfs / "rotated_pages_4p.pdf"), environment);
      EXPECT_EQ(result.exit_status, testing::kRendererSucceeded) << engine;
      return result.peak_kilobytes;
    };
    EXPECT_LT(peak(kPage * 3 / 2) * 10, peak(kPage * 4) * 7) << engine;
  }
}
#endif

TEST(RendererProgramTest, IntermediateVariableSelectsStoredBlocks) {
  const ScratchFolder kept;
  const ScratchFolder intermediate;
  const std::vector<TestPage> pages = {{200, 100, 0, ""}};
  const auto args_kept = Arguments(PatternIn(kept), "72", WritePdf(kept, pages));
  const auto args_intermediate =
      Arguments(PatternIn(intermediate), "72", WritePdf(intermediate, pages));
  ASSERT_EQ(testing::RunProcess(args_kept, {{kIntermediateEnv, "0"}}).exit_status,
            testing::kRendererSucceeded);
  ASSERT_EQ(testing::RunProcess(args_intermediate, {{kIntermediateEnv, "1"}}).exit_status,
            testing::kRendererSucceeded);
  // A blank page is grey: one stored byte per pixel plus a filter byte per row.
  const auto raw = 100u * (1 + 200u);
  EXPECT_LT(std::filesystem::file_size(kept.path() / "p_1.png"), raw / 10);
  EXPECT_GE(std::filesystem::file_size(intermediate.path() / "p_1.png"), raw);
  EXPECT_EQ(testing::ReadPng(intermediate.path() / "p_1.png").Pixel(199, 99), 0xffffffu);
  EXPECT_EQ(testing::ReadPng(kept.path() / "p_1.png").colour_type, 2);
}

TEST(RendererProgramTest, FullDiskKeepsEarlierPagesAndLeavesNoPartialFile) {
  const ScratchFolder folder;
  const std::string pdf =
      WritePdf(folder, {{20, 20, 0, ""}, {595.28, 841.89, 0, ""}, {595.28, 841.89, 0, ""}});
  // A file size limit of 16 KiB makes every large write fail as on a full disk.
  std::vector<std::string> argv = {"/bin/bash", "-c", "trap '' XFSZ; ulimit -f 16; exec \"$@\"",
                                   "bash"};
  for (const auto& arg : Arguments(PatternIn(folder), "72", pdf)) argv.push_back(arg);
  const auto result = testing::RunProcess(argv, {{kIntermediateEnv, "1"}});
  EXPECT_EQ(result.exit_status, testing::kRendererFailed);
  EXPECT_THAT(result.err, StartsWith("lib.dll: " + pdf + ": page 2: cannot write " +
                                     (folder.path() / "p_2.png").string() + ": File too large"));
  EXPECT_EQ(testing::Lines(result.err).size(), 1u);
  EXPECT_EQ(Outputs(folder), std::vector<std::string>{"p_1.png"});
  EXPECT_EQ(testing::ReadPng(folder.path() / "p_1.png").error, "");
}

struct StopCase {
  const char* name;
  int signal_number;
};

class RendererStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(RendererStopTest, EndsPromptlyAndRemovesTemporaries) {
  const ScratchFolder folder;
  const auto first_page = folder.path() / "p_1.png";
  testing::ChildProcess child(
      Arguments(PatternIn(folder), "150", (kPdfs / "long_lecture_notes_117p.pdf").string()), {});
  ASSERT_TRUE(testing::WaitFor([&] { return std::filesystem::exists(first_page); }));
  const auto sent = std::chrono::steady_clock::now();
  child.Signal(GetParam().signal_number);
  const auto result = child.Wait();
  // The run sends SIGKILL two seconds after SIGTERM: the program must be gone well before.
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
  EXPECT_EQ(result.exit_status, testing::kRendererFailed);
  EXPECT_EQ(result.err, std::string("lib.dll: stopped by ") + GetParam().name + "\n");
  const auto left = Outputs(folder);
  EXPECT_LT(left.size(), 117u);
  for (const auto& name : left) {
    EXPECT_THAT(name, ::testing::MatchesRegex("p_[0-9]+\\.png"));
    EXPECT_EQ(testing::ReadPng(folder.path() / name).error, "") << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererStopTest,
                         ::testing::Values(StopCase{"SIGTERM", SIGTERM},
                                           StopCase{"SIGINT", SIGINT}),
                         quillamar::testing::kCaseName);

}  // namespace
}  // namespace quillamar::pagerender
