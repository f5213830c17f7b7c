// quillamar-cli: its options, and the program end to end beside script renderers.
#include "cli/cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/named_cases.h"
#include "support/temp_dir.h"

extern char** environ;

namespace quillamar::cli {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

using testing::ReadFileText;
using testing::TempDir;
using Strings = std::vector<std::string>;

struct ParseCase {
  const char* name;
  Strings arguments;
  bool ok;
  const char* format_or_error;
  const char* resolution;
  int jobs = 0;
};

const ParseCase kParseCases[] = {
    {"Defaults", {"-o", "out", "a.pdf"}, true, "JPG", "72"},
    {"FormatInAnyCase", {"-f", "png", "-o", "out", "a.pdf"}, true, "PNG", "72"},
    {"LongOptionsWithEquals",
     {"--format=Jpg", "--resolution=150", "--output=o", "a"},
     true,
     "JPG",
     "150"},
    {"ResolutionVerbatim", {"-r", "not a number", "-o", "o", "a"}, true, "JPG", "not a number"},
    {"GluedValue", {"-r300", "-oout", "a"}, true, "JPG", "300"},
    {"OptionsAfterFiles", {"a.pdf", "-o", "out"}, true, "JPG", "72"},
    {"MissingOutput", {"a.pdf"}, false, "missing -o FOLDER", ""},
    {"NoFiles", {"-o", "out"}, false, "no PDF files given", ""},
    {"UnknownOption", {"-x", "-o", "o", "a"}, false, "unknown option '-x'", ""},
    {"UnknownFormat",
     {"-f", "gif", "-o", "o", "a"},
     false,
     "unknown format 'gif' (use JPG or PNG)",
     ""},
    {"ValueMissing", {"a", "-o"}, false, "option '-o' needs a value", ""},
    {"Jobs", {"-j", "16", "-o", "o", "a"}, true, "JPG", "72", 16},
    {"JobsLongAndGlued", {"--jobs=3", "-j2", "-o", "o", "a"}, true, "JPG", "72", 2},
    {"JobsNotPositive",
     {"-j", "0", "-o", "o", "a"},
     false,
     "option '-j' needs a positive number",
     ""},
    {"JobsNotANumber",
     {"--jobs", "4x", "-o", "o", "a"},
     false,
     "option '--jobs' needs a positive number",
     ""},
};

class ParseCommandLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandLineTest, ReadsOrRefuses) {
  const ParseCase& c = GetParam();
  const ParseResult result = ParseCommandLine(c.arguments);
  ASSERT_EQ(result.ok, c.ok) << result.error;
  if (c.ok) {
    EXPECT_EQ(result.line.format, c.format_or_error);
    EXPECT_EQ(result.line.resolution, c.resolution);
    EXPECT_EQ(result.line.jobs, c.jobs);
  } else {
    EXPECT_EQ(result.error, c.format_or_error);
  }
}

INSTANTIATE_TEST_SUITE_P(Cli, ParseCommandLineTest, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseCommandLineTest, DoubleDashEndsTheOptions) {
  const ParseResult result = ParseCommandLine({"-o", "out", "--", "-odd.pdf"});
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.line.files, Strings{"-odd.pdf"});
  EXPECT_EQ(result.line.output, "out");
}

// What a finished program left.
struct Finished {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// A copy of quillamar-cli in a temporary folder, with a script as its lib.dll.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "bin");
    std::filesystem::copy_file(std::string(QUILLAMAR_BIN_DIR) + "/quillamar-cli",
                               dir_ / "bin/quillamar-cli");
  }

  // The renderer records its arguments, one per line, and writes pages 1 and 2.
  void RecordingRenderer(const std::string& ending = "exit 0") {
    dir_.Write("bin/lib.dll",
               "#!/bin/sh\n"
               "printf '%s\\n' \"$@\" >> \"$(dirname \"$0\")/args\"\n"
               "for n in 1 2; do echo page > \"${2%\\%d.png}$n.png\"; done\n" +
                   ending + "\n",
               /*executable=*/true);
  }

  pid_t Start(const Strings& arguments) {
    Strings argv_texts{"quillamar-cli"};
    argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argv_texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.path().c_str());
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const std::string program = dir_ / "bin/quillamar-cli";
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  Finished Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    Finished finished;
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    finished.out = ReadFileText(dir_ / "stdout");
    finished.err = ReadFileText(dir_ / "stderr");
    return finished;
  }

  Finished RunCli(const Strings& arguments) { return Wait(Start(arguments)); }

  TempDir dir_;
};

TEST_F(CliTest, HandsTheRendererAbsolutePathsAsSeparateArguments) {
  RecordingRenderer();
  dir_.Write("a.pdf", "");
  dir_.Write("b c.pdf", "");
  const Finished run = RunCli({"-f", "png", "-o", "OUT", "a.pdf", "b c.pdf"});
  EXPECT_EQ(run.status, kExitConverted) << run.err;
  EXPECT_EQ(ReadFileText(dir_ / "bin/args"),
            "-o\n" + dir_ / "OUT/a_%d.png\n-F\npng\n-r\n72\n" + dir_ / "a.pdf\n" + "-o\n" +
                dir_ / "OUT/b c_%d.png\n-F\npng\n-r\n72\n" + dir_ / "b c.pdf\n");
  EXPECT_EQ(run.out, "正在转换 a.pdf\n正在转换 b c.pdf\n已完成！\n");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "OUT/b c_2.png"));
}

TEST_F(CliTest, WithoutARendererEveryPdfIsReportedAndTheStatusIsThree) {
  const Finished run = RunCli({"-f", "PNG", "-o", "OUT", "a.pdf", "b c.pdf"});
  EXPECT_EQ(run.status, kExitSomeFailed);
  EXPECT_EQ(run.err, "运行主程序错误!\n运行主程序错误!\n");
  EXPECT_EQ(run.out, "正在转换 a.pdf\n正在转换 b c.pdf\n已完成！\n");
}

TEST_F(CliTest, AFailingRendererIsReportedWithItsLastErrorLine) {
  RecordingRenderer("echo 'lib.dll: a.pdf: page 3: damaged' >&2; exit 1");
  const Finished run = RunCli({"-f", "png", "-o", "OUT", "a.pdf"});
  EXPECT_EQ(run.status, kExitSomeFailed);
  EXPECT_EQ(run.err, "转换失败：a.pdf\nlib.dll: a.pdf: page 3: damaged\n");
}

TEST_F(CliTest, AnErrorEndsTheRunAsTheErrorDisplayWouldShowIt) {
  dir_.Write("bin/lib.dll", "#!/bin/sh\necho 'not a png' > \"${2%\\%d.png}1.png\"\n", true);
  const Finished run = RunCli({"-o", "OUT", "a.pdf", "b.pdf"});
  EXPECT_EQ(run.status, kExitError);
  EXPECT_EQ(run.out, "正在转换 a.pdf\n");
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(run.err.substr(run.err.size() - 2), ".\n");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "OUT/a_1.png"));  // the page is not lost
}

TEST_F(CliTest, UsageErrorsExitWithTwoAndShowTheUsage) {
  for (const Strings& arguments : {Strings{"a.pdf"}, Strings{"-o", "OUT"}, Strings{"--bogus"},
                                   Strings{"-f", "tiff", "-o", "OUT", "a.pdf"}}) {
    const Finished run = RunCli(arguments);
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_NE(run.err.find(UsageText()), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(CliTest, HelpAndVersion) {
  const Finished help = RunCli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, UsageText());
  const Finished version = RunCli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("quillamar-cli ", 0), 0u);
}

TEST_F(CliTest, CtrlCStopsTheRendererToo) {
  dir_.Write("bin/lib.dll",
             "#!/bin/sh\necho $$ > \"$(dirname \"$0\")/pid\"\nwhile :; do sleep 0.05; done\n",
             true);
  const pid_t cli = Start({"-o", "OUT", "a.pdf", "b.pdf"});
  while (ReadFileText(dir_ / "bin/pid").empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(cli, SIGINT);  // to the program alone, not its process group
  const Finished run = Wait(cli);
  EXPECT_EQ(run.status, kExitInterrupted);
  EXPECT_EQ(run.out, "正在转换 a.pdf\n已停止\n");
  const pid_t renderer = std::stoi(ReadFileText(dir_ / "bin/pid"));
  EXPECT_NE(::kill(renderer, 0), 0) << "the renderer outlived the program";
}

}  // namespace
}  // namespace quillamar::cli
