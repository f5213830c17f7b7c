// The renderer's argument list and path, and starting, waiting for and stopping its process.
#include "renderer/renderer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/named_cases.h"
#include "support/temp_dir.h"

namespace quillamar::renderer {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names

using testing::ReadFileText;
using testing::TempDir;
using Strings = std::vector<std::string>;

struct ArgumentCase {
  const char* name;
  const char* folder;
  const char* base;
  const char* resolution;
  const char* pdf;
  const char* pattern;
};

const ArgumentCase kArgumentCases[] = {
    {"Plain", "/out", "minutes", "72", "/docs/minutes.pdf", "/out/minutes_%d.png"},
    {"BlanksStayInOnePiece", "/my out", "a b", "150", "/my docs/a b.pdf", "/my out/a b_%d.png"},
    {"EmptyResolution", "/out", "x", "", "/x.pdf", "/out/x_%d.png"},
    {"FolderEndingInSlash", "/", "x", "72", "/x.pdf", "//x_%d.png"},
    {"NotANumber", "/out", "x", "high", "/x.pdf", "/out/x_%d.png"},
    {"QuotesAndChinese", "/输出", "考试 \"样例\"", "96", "/考试 \"样例\".pdf",
     "/输出/考试 \"样例\"_%d.png"},
};

class RendererArgumentsTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(RendererArgumentsTest, EachPieceIsItsOwnArgument) {
  const ArgumentCase& c = GetParam();
  EXPECT_EQ(RendererArguments(c.folder, c.base, c.resolution, c.pdf),
            (Strings{"lib", "-o", c.pattern, "-F", "png", "-r", c.resolution, c.pdf}));
}

INSTANTIATE_TEST_SUITE_P(Renderer, RendererArgumentsTest, ::testing::ValuesIn(kArgumentCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RendererPathTest, LiesBesideTheExecutable) {
  EXPECT_EQ(RendererPathBeside("/opt/q/bin/quillamar"), "/opt/q/bin/lib.dll");
  EXPECT_EQ(RendererPathBeside("/quillamar"), "//lib.dll");
  EXPECT_EQ(RendererPath(), std::string(QUILLAMAR_BIN_DIR) + "/lib.dll");
}

TEST(PageFilePathTest, NumbersWithoutLeadingZeros) {
  EXPECT_EQ(PageFilePath("/out", "a.b", 1, ".png"), "/out/a.b_1.png");
  EXPECT_EQ(PageFilePath("/out/", "a", 10000, ".jpg"), "/out//a_10000.jpg");
}

// Writes an executable shell script standing in for the renderer.
std::string FakeRenderer(const TempDir& dir, const std::string& body) {
  return dir.Write("lib.dll", "#!/bin/sh\n" + body + "\n", /*executable=*/true);
}

RenderOutcome RunScript(const TempDir& dir, const std::string& body, bool intermediate = false,
                        StopSignal* stop = nullptr) {
  return RunRenderer(FakeRenderer(dir, body), {"lib", "-o", dir / "p_%d.png"}, intermediate, stop);
}

TEST(RunRendererTest, PassesTheArgumentsExactlyAndSucceedsOnStatusZero) {
  TempDir dir;
  const std::string path = FakeRenderer(dir, "printf '%s|' \"$@\" > \"$(dirname \"$0\")/args\"");
  const RenderOutcome outcome =
      RunRenderer(path, RendererArguments("/o u", "a\"b", "", "/x y/a\"b.pdf"), false, nullptr);
  EXPECT_EQ(outcome.kind, RenderOutcome::Kind::kSucceeded);
  EXPECT_EQ(ReadFileText(dir / "args"), "-o|/o u/a\"b_%d.png|-F|png|-r||/x y/a\"b.pdf|");
}

// How a failing renderer ends its standard error; the error line is its last non-empty line.
struct ErrorEndingCase {
  const char* name;
  const char* written;  // printf's arguments, before exit 4
};

const ErrorEndingCase kErrorEndings[] = {
    {"NoFinalNewline", "'first\\nx.pdf: page 2: damaged'"},
    {"Newline", "'first\\nx.pdf: page 2: damaged\\n'"},
    {"CarriageReturnNewline", "'first\\r\\nx.pdf: page 2: damaged\\r\\n'"},
    {"TrailingBlankLines", "'first\\nx.pdf: page 2: damaged\\n\\n \\n\\r\\n'"},
    {"MoreThan8KiBBefore", "'%09000d\\nx.pdf: page 2: damaged\\n' 0"},
};

class RendererErrorLineTest : public ::testing::TestWithParam<ErrorEndingCase> {};

TEST_P(RendererErrorLineTest, IsTheLastNonEmptyLine) {
  TempDir dir;
  const RenderOutcome outcome =
      RunScript(dir, std::string("printf ") + GetParam().written + " >&2; exit 4");
  EXPECT_EQ(outcome.kind, RenderOutcome::Kind::kFailed);
  EXPECT_EQ(outcome.exit_status, 4);
  EXPECT_EQ(outcome.error_line, "x.pdf: page 2: damaged");
}

INSTANTIATE_TEST_SUITE_P(Endings, RendererErrorLineTest, ::testing::ValuesIn(kErrorEndings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RunRendererTest, ARendererKilledIsReportedAsKilledWhateverItWrote) {
  TempDir dir;
  const RenderOutcome killed = RunScript(dir, "echo 'x.pdf: page 2: damaged' >&2; kill -KILL $$");
  EXPECT_EQ(killed.kind, RenderOutcome::Kind::kFailed);
  EXPECT_EQ(killed.error_line,
            std::string("lib.dll was ended by signal 9 (") + strsignal(SIGKILL) + ")");
}

TEST(RunRendererTest, ASilentFailureIsDescribedByUs) {
  TempDir dir;
  EXPECT_EQ(RunScript(dir, "exit 3").error_line, "lib.dll ended with exit status 3");
  const RenderOutcome crashed = RunScript(dir, "kill -SEGV $$");
  EXPECT_EQ(crashed.kind, RenderOutcome::Kind::kFailed);
  EXPECT_EQ(crashed.signal_number, SIGSEGV);
  EXPECT_EQ(crashed.error_line,
            std::string("lib.dll was ended by signal 11 (") + strsignal(SIGSEGV) + ")");
}

TEST(RunRendererTest, MissingOrNotExecutableDoesNotStart) {
  TempDir dir;
  EXPECT_EQ(RunRenderer(dir / "lib.dll", {"lib"}, false, nullptr).kind,
            RenderOutcome::Kind::kNotStarted);
  const std::string plain = dir.Write("lib.dll", "#!/bin/sh\nexit 0\n");  // no execute bit
  EXPECT_EQ(RunRenderer(plain, {"lib"}, false, nullptr).kind, RenderOutcome::Kind::kNotStarted);
}

TEST(RunRendererTest, NeverLookedUpOnTheSearchPath) {
  EXPECT_EQ(RunRenderer("sh", {"lib", "-c", "exit 0"}, false, nullptr).kind,
            RenderOutcome::Kind::kNotStarted);
}

TEST(RunRendererTest, InputIsEmptyAndTheHintIsPassedOnlyWhenAsked) {
  TempDir dir;
  ::setenv(kIntermediateEnv, "1", 1);  // the caller's own setting must not leak through
  const std::string body =
      "cat > \"$(dirname \"$0\")/stdin\"; echo \"[$QUILLAMAR_INTERMEDIATE_PNG]\" > "
      "\"$(dirname \"$0\")/env\"";
  RunScript(dir, body, /*intermediate=*/false);
  EXPECT_EQ(ReadFileText(dir / "env"), "[]\n");
  EXPECT_EQ(ReadFileText(dir / "stdin"), "");
  ::unsetenv(kIntermediateEnv);
  RunScript(dir, body, /*intermediate=*/true);
  EXPECT_EQ(ReadFileText(dir / "env"), "[1]\n");
}

bool ProcessExists(const std::string& pid_text) {
  return !pid_text.empty() && ::kill(std::atoi(pid_text.c_str()), 0) == 0;
}

// Requests the stop once the script renderer has written its process number.
std::thread StopOnceStarted(const TempDir& dir, StopSignal& stop) {
  return std::thread([&dir, &stop] {
    while (ReadFileText(dir / "pid").empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop.Request();
  });
}

TEST(RunRendererTest, StopEndsEvenARendererThatIgnoresTerm) {
  TempDir dir;
  StopSignal stop;
  std::thread stopper = StopOnceStarted(dir, stop);
  const RenderOutcome outcome =
      RunScript(dir, "trap '' TERM; echo $$ > \"$(dirname \"$0\")/pid\"; while :; do sleep 1; done",
                false, &stop);
  stopper.join();
  EXPECT_EQ(outcome.kind, RenderOutcome::Kind::kStopped);
  EXPECT_EQ(outcome.signal_number, SIGKILL);
  EXPECT_FALSE(ProcessExists(ReadFileText(dir / "pid")));
}

TEST(RunRendererTest, StopAsksPolitelyFirst) {
  TempDir dir;
  StopSignal stop;
  std::thread stopper = StopOnceStarted(dir, stop);
  const RenderOutcome outcome = RunScript(
      dir, "echo $$ > \"$(dirname \"$0\")/pid\"; while :; do sleep 0.05; done", false, &stop);
  stopper.join();
  EXPECT_EQ(outcome.kind, RenderOutcome::Kind::kStopped);
  EXPECT_EQ(outcome.signal_number, SIGTERM);
}

TEST(StopSignalTest, ResetClearsARequest) {
  StopSignal stop;
  EXPECT_FALSE(stop.Requested());
  stop.Request();
  EXPECT_TRUE(stop.Requested());
  stop.Reset();
  EXPECT_FALSE(stop.Requested());
  TempDir dir;
  EXPECT_EQ(RunScript(dir, "exit 0", false, &stop).kind, RenderOutcome::Kind::kSucceeded);
}

}  // namespace
}  // namespace quillamar::renderer
