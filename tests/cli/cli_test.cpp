// quillamar-cli: its options, and the program end to end beside script renderers.
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "cli_fixture.h"
#include "framework/system_calls.h"
#include "support/named_cases.h"

namespace quillamar::cli {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

struct ParseCase {
  const char* name;
  Strings arguments;
  const char* format_or_error;
  const char* resolution = "";  // of the rows that read; "" for those that refuse
  int jobs = 0;
};

const ParseCase kParseCases[] = {
    {"Defaults", {"-o", "out", "a.pdf"}, "JPG", "72"},
    {"FormatInAnyCase", {"-f", "png", "-o", "out", "a.pdf"}, "PNG", "72"},
    {"LongWithEqualsSign", {"--format=Jpg", "--resolution=150", "--output=o", "a"}, "JPG", "150"},
    {"ResolutionAtTheLimit", {"-r", "2400", "-o", "o", "a"}, "JPG", "2400"},
    {"GluedValue", {"-r300", "-oout", "a"}, "JPG", "300"},
    {"OptionsAfterFiles", {"a.pdf", "-o", "out"}, "JPG", "72"},
    {"MissingOutput", {"a.pdf"}, "missing -o FOLDER"},
    {"NoFiles", {"-o", "out"}, "no PDF files given"},
    {"UnknownOption", {"-x", "-o", "o", "a"}, "unknown option '-x'"},
    {"UnknownFormat", {"-f", "gif", "-o", "o", "a"}, "unknown format 'gif' (use JPG or PNG)"},
    {"ValueMissing", {"a", "-o"}, "option '-o' needs a value"},
    {"LongValueMissing", {"a", "--output"}, "option '--output' needs a value"},
    {"UnknownLongOption", {"--bogus=1", "-o", "o", "a"}, "unknown option '--bogus=1'"},
    {"SwitchGivenAValue", {"--help=yes"}, "option '--help=yes' takes no value"},
    {"AListInsteadOfFiles", {"--files-from", "list", "-o", "o"}, "JPG", "72"},
    {"ReportNeedsAFile", {"-o", "o", "a", "--report"}, "option '--report' needs a value"},
    {"StandardInputForTwoThings",
     {"--password-file", "-", "--files-from", "-", "-o", "o"},
     "standard input ('-') given twice"},
    {"Jobs", {"-j", "16", "-o", "o", "a"}, "JPG", "72", 16},
    {"JobsLongAndGlued", {"--jobs=3", "-j2", "-o", "o", "a"}, "JPG", "72", 2},
    {"EngineUnknown",
     {"--engine", "turbo", "-o", "o", "a"},
     "unknown engine 'turbo' (use mupdf or poppler)"},
};

class ParseCommandLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandLineTest, ReadsOrRefuses) {
  const ParseCase& c = GetParam();
  const Result<CommandLine> result = ParseCommandLine(c.arguments);
  const bool ok = *c.resolution != '\0';
  ASSERT_EQ(result.Ok(), ok) << (result ? "" : result.Error());
  if (ok) {
    EXPECT_EQ(result->format, c.format_or_error);
    EXPECT_EQ(result->resolution, c.resolution);
    EXPECT_EQ(result->jobs, c.jobs);
  } else {
    EXPECT_EQ(result.Error(), c.format_or_error);
  }
}

QUILLAMAR_TABLE_TESTS(Cli, ParseCommandLineTest, kParseCases);

// The renderer takes resolutions from 1 to its limit and a positive number of jobs, whole numbers
// both; anything else is refused at once, named in the message.
TEST(ParseCommandLineTest, RefusesAResolutionOrJobsTheRendererWouldNot) {
  for (const std::string bad : {"abc", "0", "-5", "150dpi", "2401", "", "072", "7.5"}) {
    const Result<CommandLine> result = ParseCommandLine({"-r", bad, "-o", "o", "a"});
    ASSERT_FALSE(result) << bad;
    EXPECT_EQ(result.Error(), "resolution '" + bad + "' is not a whole number from 1 to 2400");
  }
  for (const Strings& given : {Strings{"-j", "0"}, Strings{"--jobs", "4x"}, Strings{"-j", "-1"}}) {
    const Result<CommandLine> result = ParseCommandLine({given[0], given[1], "-o", "o", "a"});
    ASSERT_FALSE(result) << given[1];
    EXPECT_EQ(result.Error(), "option --jobs needs a positive number, not '" + given[1] + "'");
  }
}

// The collection options, and "--" ending the options before a file named like one.
TEST(ParseCommandLineTest, CollectionOptions) {
  const Result<CommandLine> result = ParseCommandLine(
      {"-Rv0", "--no-clobber", "--files-from", "one", "--files-from=-", "--report", "r.jsonl",
       "--resume", "old.jsonl", "--resume=r.jsonl", "-o", "o", "--engine=mupdf", "--", "-odd"});
  ASSERT_TRUE(result) << result.Error();
  const CommandLine& line = *result;
  EXPECT_TRUE(line.recursive && line.verbose && line.null_separated && line.no_clobber);
  EXPECT_EQ(line.file_lists, (Strings{"one", "-"}));
  EXPECT_EQ(line.report, "r.jsonl");
  EXPECT_EQ(line.resume_reports, (Strings{"old.jsonl", "r.jsonl"}));
  EXPECT_EQ(line.engine, "mupdf");
  EXPECT_EQ(line.output, "o");
  EXPECT_EQ(line.files, Strings{"-odd"});
}

// One run end to end, a.pdf and "b c.pdf" being there: the renderer's ending (null: there is no
// renderer), the arguments, what the program says and what the renderer was given (null: not
// looked at); "@" stands for the test folder.
struct RunCase {
  const char* name;
  const char* renderer_ending;
  Strings arguments;
  int status;
  const char* out;
  const char* err;
  const char* renderer_arguments = nullptr;
};

const RunCase kRunCases[] = {
    {"AbsolutePathsAsSeparateArguments",  // one renderer at a time, each at its PDF's turn
     "exit 0",
     {"-j", "1", "-f", "png", "-o", "OUT", "a.pdf", "b c.pdf"},
     kStatusConverted,
     "正在转换 a.pdf\n正在转换 b c.pdf\n已完成！\n",
     "",
     "-o\n@/OUT/a_%d.png\n-F\npng\n-r\n72\n@/a.pdf\n-o\n@/OUT/b c_%d.png\n-F\npng\n-r\n72\n@/b "
     "c.pdf\n"},
    {"VerboseNamesTheFolderLast",
     "exit 0",
     {"-v", "-f", "png", "-o", "OUT/./", "a.pdf"},
     kStatusConverted,
     "正在转换 a.pdf\n已完成！\n@/OUT\n",
     ""},
    {"WarningGoesToStandardError",
     "echo 'lib.dll: warning: a.pdf: text not drawn: F1 on page 2' >&2",
     {"-f", "png", "-o", "OUT", "a.pdf"},
     kStatusConverted,
     "正在转换 a.pdf\n已完成！\n",
     "warning: a.pdf: text not drawn: F1 on page 2\n"},
    {"FailureWithoutProgramNameOrUsage",
     "echo 'lib.dll: a.pdf: damaged (usage: lib -o PATTERN -F png -r DPI FILE.pdf)' >&2; exit 2",
     {"-f", "png", "-o", "OUT", "a.pdf"},
     kStatusSomeFailed,
     "正在转换 a.pdf\n已完成！\n1/1 个PDF文件转换失败\n",
     "转换失败：a.pdf\na.pdf: damaged\n"},
    {"WithoutARendererEveryPdfFails",
     nullptr,
     {"-f", "PNG", "-o", "OUT", "a.pdf", "b c.pdf"},
     kStatusSomeFailed,
     "正在转换 a.pdf\n正在转换 b c.pdf\n已完成！\n2/2 个PDF文件转换失败\n",
     "运行主程序错误!\n运行主程序错误!\n"},
    {"MissingInputOnceTheOthersRun",
     "exit 0",
     {"-f", "png", "-o", "OUT", "missing.pdf", "a.pdf"},
     kStatusSomeFailed,
     "正在转换 a.pdf\n已完成！\n1/2 个PDF文件转换失败\n",
     "quillamar-cli: cannot read '@/missing.pdf': No such file or directory\n"},
    {"UnreadablePasswordFileEndsFirst",
     "exit 0",
     {"--password-file", "missing", "-o", "OUT", "a.pdf"},
     kStatusError,
     "",
     "quillamar-cli: cannot read the password file 'missing': No such file or directory\n"},
    {"UnreadableListEndsFirst",
     "exit 0",
     {"-o", "OUT", "--files-from", "missing"},
     kStatusError,
     "",
     "quillamar-cli: cannot read list 'missing': No such file or directory\n"},
    {"OutputThatIsAFile",
     "exit 0",
     {"-o", "a.pdf", "b c.pdf"},
     kStatusError,
     "",
     "quillamar-cli: the output folder '@/a.pdf' is not a folder\n"},
    {"OutputThatCannotBeCreated",
     "exit 0",
     {"-o", "/proc/nope/out", "a.pdf"},
     kStatusError,
     "",
     "quillamar-cli: cannot create the output folder '/proc/nope/out': No such file or "
     "directory\n"},
};

std::string InFolder(std::string text, const std::string& folder) {
  for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + folder.size())) {
    text.replace(at, 1, folder);
  }
  return text;
}

class CliRunTest : public CliTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(CliRunTest, SaysWhatBecameOfEachPdf) {
  const RunCase& c = GetParam();
  if (c.renderer_ending != nullptr) RecordingRenderer(c.renderer_ending);
  dir_.Write("a.pdf", "");
  dir_.Write("b c.pdf", "");
  const ProcessResult run = RunCli(c.arguments);
  EXPECT_EQ(run.exit_status, c.status) << run.err;
  EXPECT_EQ(run.out, InFolder(c.out, dir_.path()));
  EXPECT_EQ(run.err, InFolder(c.err, dir_.path()));
  EXPECT_EQ(std::filesystem::exists(dir_ / "OUT"), *c.out != '\0');  // a run that began made it
  if (c.renderer_arguments != nullptr) {
    EXPECT_EQ(ReadFileText(dir_ / "bin/args"), InFolder(c.renderer_arguments, dir_.path()));
  }
}

QUILLAMAR_TABLE_TESTS(Cli, CliRunTest, kRunCases);

// Columns on a terminal of the texts below: "…" one, other characters of three bytes two.
int Columns(const std::string& text) {
  int columns = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    columns += length == 3 && text.compare(i, 3, "…") != 0 ? 2 : 1;
    i += length;
  }
  return columns;
}

// On a terminal 40 columns wide: the PDFs count from 1, a long name is cut to the width (wide
// characters take two columns) with its page count kept, and the bar is gone at the end.
TEST_F(CliTest, TheTerminalLineFitsAndIsGoneAtTheEnd) {
  dir_.Write("bin/lib.dll",
             "#!/bin/sh\necho 'pages 2' >&3\nfor n in 1 2; do echo page > \"${2%\\%d.png}$n.png\"; "
             "echo \"page $n\" >&3; done\n",
             true);
  std::string long_name;
  for (int i = 0; i < 60; ++i) long_name += "长";
  long_name += ".pdf";
  for (const std::string& pdf : {std::string("a.pdf"), long_name}) dir_.Write(pdf, "");
  const std::string screen =
      RunOnTerminal({"-j", "1", "-f", "png", "-o", "OUT", "a.pdf", long_name}, 40);
  EXPECT_NE(screen.find("] 1/2"), std::string::npos) << screen;
  EXPECT_NE(screen.find("] 2/2"), std::string::npos) << screen;
  EXPECT_NE(screen.find("…  2/2"), std::string::npos) << screen;
  EXPECT_NE(screen.find("已完成！\r\n"), std::string::npos) << screen;
  // Each drawing of the bar (a piece that no line end follows) fits in 39 columns.
  for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = screen.find('\r', start);
    std::string piece = screen.substr(start, end == std::string::npos ? end : end - start);
    if (end != std::string::npos && screen.compare(end, 2, "\r\n") == 0) continue;
    for (auto at = piece.find("\033[K"); at != std::string::npos; at = piece.find("\033[K")) {
      piece.erase(at, 3);
    }
    if (!piece.empty() && piece.front() == '\n') piece.erase(0, 1);
    EXPECT_LE(Columns(piece), 39) << piece;
  }
  // Once the bar is erased, nothing is left on the line the prompt comes to.
  const std::string last = screen.substr(screen.rfind('\n') + 1);
  const auto erased = last.rfind("\033[K");
  EXPECT_EQ(erased == std::string::npos ? last : last.substr(erased + 3), "") << screen;
}

TEST_F(CliTest, AnErrorEndsTheRunAsTheErrorDisplayWouldShowIt) {
  dir_.Write("bin/lib.dll", "#!/bin/sh\necho 'not a png' > \"${2%\\%d.png}1.png\"\n", true);
  dir_.Write("a.pdf", "");
  const ProcessResult run = RunCli({"-o", "OUT", "a.pdf", "b.pdf"});
  EXPECT_EQ(run.exit_status, kStatusError);
  EXPECT_EQ(run.out, "正在转换 a.pdf\n");
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(run.err.substr(run.err.size() - 2), ".\n");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "OUT/a_1.png"));  // the page is not lost
}

TEST_F(CliTest, UsageErrorsExitWithTwoAndShowTheUsage) {
  for (const Strings& arguments :
       {Strings{"a.pdf"}, Strings{"-o", "OUT"}, Strings{"--bogus"},
        Strings{"-f", "tiff", "-o", "OUT", "a.pdf"}, Strings{"-r", "abc", "-o", "OUT", "a.pdf"}}) {
    const ProcessResult run = RunCli(arguments);
    EXPECT_EQ(run.exit_status, kStatusUsage);
    EXPECT_NE(run.err.find(UsageText()), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
}

// The option names (-f, --format) in the pieces of text that `piece` picks out (its group 1).
std::set<std::string> OptionNames(const std::string& text, const std::regex& piece) {
  static const std::regex kName("(?:^|[ ,])(--?[A-Za-z0-9][A-Za-z0-9-]*)");
  std::set<std::string> names;
  for (std::sregex_iterator p(text.begin(), text.end(), piece), end; p != end; ++p) {
    const std::string found = std::regex_replace((*p)[1].str(), std::regex(R"(\\-)"), "-");
    for (std::sregex_iterator n(found.begin(), found.end(), kName); n != end; ++n) {
      names.insert((*n)[1]);
    }
  }
  return names;
}

TEST_F(CliTest, HelpAndVersion) {
  const ProcessResult help = RunCli({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out, UsageText());
  EXPECT_EQ(
      help.out.rfind("Usage: quillamar-cli [-f JPG|PNG] [-r RESOLUTION] -o FOLDER FILE...\n", 0),
      0u);  // the usage the errors show is not empty
  const ProcessResult version = RunCli({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("quillamar-cli ", 0), 0u);
  // The manual page's OPTIONS tags (the lines after .TP) are exactly the usage's option column.
  const std::string page = ReadFileText(std::filesystem::path(QUILLAMAR_TESTDATA).parent_path() /
                                        "../packaging/man/quillamar-cli.1");
  const std::size_t options = page.find(".SH OPTIONS");
  EXPECT_EQ(OptionNames(page.substr(options, page.find("\n.SH", options) - options),
                        std::regex(R"(\.TP\n(.*))")),
            OptionNames(help.out, std::regex(R"(\n {2,}(-.*?)(?=  |\n))")));
}

// How many workers the renderer is given: -j, or else the CPUs the program may run on, at most
// the share a scheduler that binds no CPUs (Slurm's task/none) states for the task.
struct JobsCase {
  const char* name;
  Strings options;
  const char* slurm_cpus_per_task;  // "" for unset
  int workers;                      // 0: every usable CPU
};

const JobsCase kJobsCases[] = {
    {"UsableCpus", {}, "", 0},
    {"SlurmShare", {}, "1", 1},
    {"SlurmShareAboveTheUsableCpus", {}, "100000", 0},
    {"SlurmShareNotANumber", {}, "all", 0},
    {"JobsOptionFirst", {"-j", "3"}, "1", 3},
};

class CliJobsTest : public CliTest, public ::testing::WithParamInterface<JobsCase> {};

TEST_P(CliJobsTest, GivesTheRendererItsWorkers) {
  const JobsCase& c = GetParam();
  dir_.Write("bin/lib.dll", "#!/bin/sh\necho $QUILLAMAR_WORKERS > \"$(dirname \"$0\")/workers\"\n",
             true);
  dir_.Write("a.pdf", "");
  Strings arguments = c.options;
  arguments.insert(arguments.end(), {"-o", "OUT", "a.pdf"});
  RunCli(arguments, {.environment = {{"SLURM_CPUS_PER_TASK", c.slurm_cpus_per_task}}});
  const int expected = c.workers > 0 ? c.workers : UsableCpuCount();
  EXPECT_EQ(ReadFileText(dir_ / "bin/workers"), std::to_string(expected) + "\n");
}

QUILLAMAR_TABLE_TESTS(Cli, CliJobsTest, kJobsCases);

// A locked PDF with the program's own renderer: the password file's first line opens it, from a
// file or from standard input; a wrong one, or none off a terminal, fails that PDF as usual.
struct PasswordFileCase {
  const char* name;
  const char* content;  ///< of the password file
  bool from_standard_input;
  int status;
};

const PasswordFileCase kPasswordFileCases[] = {
    {"FirstLineOfAFile", "openpassword\nsecond line\n", false, kStatusConverted},
    {"WindowsLineEnd", "openpassword\r\n", false, kStatusConverted},
    {"StandardInput", "openpassword\n", true, kStatusConverted},
    {"WrongPassword", "openpassword \n", false, kStatusSomeFailed},
    {"NoPasswordFile", nullptr, false, kStatusSomeFailed},
};

class CliPasswordTest : public CliTest, public ::testing::WithParamInterface<PasswordFileCase> {};

TEST_P(CliPasswordTest, OpensALockedPdfOnlyWithTheRightPassword) {
  const PasswordFileCase& c = GetParam();
  std::filesystem::copy_file(std::string(QUILLAMAR_BIN_DIR) + "/lib.dll", dir_ / "bin/lib.dll");
  std::filesystem::copy_file(std::string(QUILLAMAR_TESTDATA) + "/pdfs/encrypted_user_password.pdf",
                             dir_ / "locked.pdf");
  Strings arguments{"-r", "10", "-o", "OUT", "locked.pdf"};
  if (c.content != nullptr) {
    const std::string file = dir_.Write(c.from_standard_input ? "stdin" : "password", c.content);
    arguments.insert(arguments.begin(), {"--password-file", c.from_standard_input ? "-" : file});
  }
  const ProcessResult run = RunCli(arguments);
  EXPECT_EQ(run.exit_status, c.status) << run.err;
  EXPECT_EQ(std::filesystem::exists(dir_ / "OUT/locked_1.jpg"), c.status == kStatusConverted);
  const std::string failure =
      "转换失败：locked.pdf\n" + dir_ / "locked.pdf" + ": protected by a password\n";
  EXPECT_EQ(run.err, c.status == kStatusConverted ? "" : failure);
}

QUILLAMAR_TABLE_TESTS(Cli, CliPasswordTest, kPasswordFileCases);

// Folders among the files: their PDFs sorted by name, subfolders walked with -R; a list keeps its
// order, passes over blank lines and may name folders.
struct FolderCase {
  const char* name;
  Strings arguments;
  Strings rendered;  // relative to the test folder
};

const FolderCase kFolderCases[] = {
    {"PdfsDirectlyInside", {"d"}, {"d/a.PDF", "d/b.pdf"}},
    {"TrailingSlash", {"d/"}, {"d/a.PDF", "d/b.pdf"}},
    {"FilesAndFoldersInTheirOrder", {"d/sub/c.pdf", "d"}, {"d/sub/c.pdf", "d/a.PDF", "d/b.pdf"}},
    {"Recursive",
     {"-R", "d"},
     {"d/a.PDF", "d/b.pdf", "d/aa/x.pdf", "d/sub/c.pdf", "d/sub/z.pdf", "d/sub/deeper/e.pdf"}},
    {"EmptyFolder", {"d/empty"}, {}},
    {"ListKeepsItsOrderAndMayNameFolders",
     {"w.pdf", "--files-from", "list"},
     {"w.pdf", "x y.pdf", "d/a.PDF", "d/b.pdf", "z.pdf"}},
};

class CliFolderTest : public CliTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(CliFolderTest, TakesThePdfsInNameOrder) {
  RecordingRenderer();
  for (const char* file : {"d/b.pdf", "d/a.PDF", "d/notes.txt", "d/sub/z.pdf", "d/sub/c.pdf",
                           "d/sub/deeper/e.pdf", "d/aa/x.pdf", "w.pdf", "x y.pdf", "z.pdf"}) {
    dir_.Write(file, "");
  }
  dir_.Write("list", "x y.pdf\n\nd\n" + dir_ / "z.pdf\n");
  std::filesystem::create_directories(dir_ / "d/empty");
  std::filesystem::create_directories(dir_ / "d/folder.pdf");
  std::filesystem::create_directory_symlink("sub", dir_ / "d/link");  // not walked: a loop risk

  Strings arguments{"-j", "1", "-f", "png", "-o", "OUT"};  // renderers started in the run's order
  arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const ProcessResult run = RunCli(arguments);
  EXPECT_EQ(run.exit_status, kStatusConverted) << run.err;
  Strings expected;
  for (const auto& file : GetParam().rendered) expected.push_back(dir_ / file);
  EXPECT_EQ(RenderedPdfs(), expected);
}

QUILLAMAR_TABLE_TESTS(Cli, CliFolderTest, kFolderCases);

TEST_F(CliTest, NulSeparatedListsFromStandardInputKeepAnyByte) {
  RecordingRenderer();
  constexpr char kList[] = "new\nline.pdf\0\xff\xfe.pdf";  // and the final NUL
  dir_.Write("stdin", std::string(kList, sizeof kList));
  for (const char* pdf : {"new\nline.pdf", "\xff\xfe.pdf"}) dir_.Write(pdf, "");
  const ProcessResult run = RunCli({"-f", "png", "-o", "OUT", "-0", "--files-from", "-"});
  EXPECT_EQ(run.exit_status, kStatusConverted) << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "OUT/new\nline_2.png"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "OUT/\xff\xfe_2.png"));
}

// PDFs of equal names, and page files already in the folder.
struct ClobberCase {
  const char* name;
  Strings arguments;
  const char* existing_page;  // a file put in OUT first, or ""
  int status;
  int rendered;                // PDFs handed to the renderer
  const char* said = nullptr;  // a part of standard error; nullptr: the page refused, if any
};

const ClobberCase kClobberCases[] = {
    {"ClashOnlyWarns", {"-f", "png", "a.pdf", "sub/a.pdf"}, "", kStatusConverted, 2, "warning"},
    {"ClashRefused", {"--no-clobber", "a.pdf", "sub/a.pdf"}, "", kStatusUsage, 0, "\n  a\n"},
    {"FirstPngPageRefused", {"--no-clobber", "-f", "png", "a.pdf"}, "a_1.png", kStatusUsage, 0},
    {"FirstJpgPageRefused", {"--no-clobber", "b.pdf", "a.pdf"}, "a_1.jpg", kStatusUsage, 0},
    {"PngPageOfAJpgRunRefused", {"--no-clobber", "a.pdf"}, "a_1.png", kStatusUsage, 0},
    {"JpgPageOfPngRunKept", {"--no-clobber", "-f", "png", "a.pdf"}, "a_1.jpg", kStatusConverted, 1},
    {"LaterPageKept", {"--no-clobber", "-f", "png", "a.pdf"}, "a_3.png", kStatusConverted, 1},
};

class CliClobberTest : public CliTest, public ::testing::WithParamInterface<ClobberCase> {};

TEST_P(CliClobberTest, WarnsOrRefusesBeforeAnythingIsWritten) {
  const ClobberCase& c = GetParam();
  RecordingRenderer();
  for (const char* pdf : {"a.pdf", "b.pdf", "sub/a.pdf"}) dir_.Write(pdf, "");
  if (*c.existing_page != '\0') dir_.Write(std::string("OUT/") + c.existing_page, "old");
  Strings arguments{"-o", "OUT"};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  const ProcessResult run = RunCli(arguments);
  EXPECT_EQ(run.exit_status, c.status) << run.err;
  EXPECT_EQ(RenderedPdfs().size(), static_cast<std::size_t>(c.rendered));
  const char* said = c.said != nullptr ? c.said : c.rendered == 0 ? c.existing_page : "";
  EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
  if (c.rendered == 0 && *c.existing_page != '\0') {
    EXPECT_EQ(ReadFileText(dir_ / "OUT/" + c.existing_page), "old");
  }
}

QUILLAMAR_TABLE_TESTS(Cli, CliClobberTest, kClobberCases);

}  // namespace
}  // namespace quillamar::cli
