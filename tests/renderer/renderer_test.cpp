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

// Writes an executable shell script standing in for the renderer.
std::string FakeRenderer(const TempDir& dir, const std::string& body) {
  return dir.Write("lib.dll", "#!/bin/sh\n" + body + "\n", /*executable=*/true);
}

RendererRequest Request(std::string path, std::vector<std::string> arguments,
                        bool intermediate = false, StopSignal* stop = nullptr) {
  RendererRequest request;
  request.path = std::move(path);
  request.arguments = std::move(arguments);
  request.intermediate_pages = intermediate;
  request.stop = stop;
  return request;
}

RenderOutcome RunScript(const TempDir& dir, const std::string& body, bool intermediate = false,
                        StopSignal* stop = nullptr) {
  return RunRenderer(
      Request(FakeRenderer(dir, body), {"lib", "-o", dir / "p_%d.png"}, intermediate, stop));
}

// Blanks, quotes, Chinese and an empty resolution each stay one argument of their own; the
// renderer run is the one beside the executable.
TEST(RunRendererTest, PassesTheArgumentsExactlyAndSucceedsOnStatusZero) {
  EXPECT_EQ(RendererPath(), std::string(QUILLAMAR_BIN_DIR) + "/lib.dll");
  TempDir dir;
  const std::string path = FakeRenderer(dir, "printf '%s|' \"$@\" > \"$(dirname \"$0\")/args\"");
  const RenderOutcome outcome =
      RunRenderer(Request(path, RendererArguments("/输 出/a\"b_%d.png", "", "/x y/考试.pdf")));
  EXPECT_EQ(outcome.kind, RenderOutcome::Kind::kSucceeded);
  EXPECT_EQ(ReadFileText(dir / "args"), "-o|/输 出/a\"b_%d.png|-F|png|-r||/x y/考试.pdf|");
  EXPECT_EQ(RendererArguments("p", "72", "x.pdf").front(), "lib");  // the program's own name
}

// What a renderer writes to standard error (printf's arguments; a failing one then exits with 4),
// and the warnings and error line taken from it: its last non-empty line, however the text ends.
struct StandardErrorCase {
  const char* name;
  const char* written;
  Strings warnings;
  const char* error_line;  // nullptr when it succeeds
};

constexpr char kDamaged[] = "x.pdf: page 2: damaged";

const StandardErrorCase kStandardErrorCases[] = {
    {"NoFinalNewline", "'first\\nx.pdf: page 2: damaged'", {}, kDamaged},
    {"Newline", "'first\\nx.pdf: page 2: damaged\\n'", {}, kDamaged},
    {"CarriageReturnNewline", "'first\\r\\nx.pdf: page 2: damaged\\r\\n'", {}, kDamaged},
    {"TrailingBlankLines", "'first\\nx.pdf: page 2: damaged\\n\\n \\n\\r\\n'", {}, kDamaged},
    {"MoreThan8KiBBefore", "'%09000d\\nx.pdf: page 2: damaged\\n' 0", {}, kDamaged},
    {"OneWarningOnSuccess",
     "'lib.dll: warning: a.pdf: F1 on page 2\\n'",
     {"a.pdf: F1 on page 2"},
     nullptr},
    {"CarriageReturnDropped",
     "'lib.dll: warning: a.pdf: F1 on page 2\\r\\n'",
     {"a.pdf: F1 on page 2"},
     nullptr},
    {"WarningBeforeTheErrorLine",
     "'noise\\nlib.dll: warning: a.pdf: F1 on page 1\\nlib.dll: a.pdf: page 3: damaged'",
     {"a.pdf: F1 on page 1"},
     "lib.dll: a.pdf: page 3: damaged"},
    {"CutOffWarningIsNone",
     "'lib.dll: warning: a.pdf: F1 on pa'",
     {},
     "lib.dll: warning: a.pdf: F1 on pa"},
    {"OnlyAtTheStartOfALine", "'x lib.dll: warning: a.pdf\\nwarning: b.pdf\\n'", {}, nullptr},
};

class RendererStandardErrorTest : public ::testing::TestWithParam<StandardErrorCase> {};

TEST_P(RendererStandardErrorTest, GivesTheWarningsAndTheLastNonEmptyLineAsTheErrorLine) {
  const StandardErrorCase& c = GetParam();
  const bool fails = c.error_line != nullptr;
  TempDir dir;
  const RenderOutcome outcome =
      RunScript(dir, std::string("printf ") + c.written + " >&2" + (fails ? "; exit 4" : ""));
  EXPECT_EQ(outcome.warnings, c.warnings);
  EXPECT_EQ(outcome.kind, fails ? RenderOutcome::Kind::kFailed : RenderOutcome::Kind::kSucceeded);
  EXPECT_EQ(outcome.exit_status, fails ? 4 : 0);
  EXPECT_EQ(outcome.error_line, fails ? c.error_line : "");
}

QUILLAMAR_TABLE_TESTS(Renderer, RendererStandardErrorTest, kStandardErrorCases);

// A silent failure is described by us, and a killed renderer as killed whatever it wrote.
TEST(RunRendererTest, ASilentOrKilledRendererIsDescribedByUs) {
  TempDir dir;
  EXPECT_EQ(RunScript(dir, "exit 3").error_line, "lib.dll ended with exit status 3");
  for (const int signal_number : {SIGSEGV, SIGKILL}) {
    const RenderOutcome crashed = RunScript(
        dir, "echo 'x.pdf: page 2: damaged' >&2; kill -" + std::to_string(signal_number) + " $$");
    EXPECT_EQ(crashed.kind, RenderOutcome::Kind::kFailed);
    EXPECT_EQ(crashed.signal_number, signal_number);
    EXPECT_EQ(crashed.error_line, "lib.dll was ended by signal " + std::to_string(signal_number) +
                                      " (" + strsignal(signal_number) + ")");
  }
}

// Missing, not executable, or only a name the search path would find: never started.
TEST(RunRendererTest, MissingNotExecutableOrOnTheSearchPathDoesNotStart) {
  TempDir dir;
  EXPECT_EQ(RunRenderer(Request(dir / "lib.dll", {"lib"})).kind, RenderOutcome::Kind::kNotStarted);
  const std::string plain = dir.Write("lib.dll", "#!/bin/sh\nexit 0\n");  // no execute bit
  EXPECT_EQ(RunRenderer(Request(plain, {"lib"})).kind, RenderOutcome::Kind::kNotStarted);
  EXPECT_EQ(RunRenderer(Request("sh", {"lib", "-c", "exit 0"})).kind,
            RenderOutcome::Kind::kNotStarted);
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

// A stop asks politely first (SIGTERM), and ends even a renderer that ignores that (SIGKILL); a
// stop request that was reset stops nothing.
TEST(RunRendererTest, StopAsksPolitelyFirstAndEndsEvenARendererThatIgnoresTerm) {
  for (const bool ignores_term : {false, true}) {
    SCOPED_TRACE(ignores_term ? "ignores SIGTERM" : "obeys SIGTERM");
    TempDir dir;
    StopSignal stop;
    std::thread stopper = StopOnceStarted(dir, stop);
    const RenderOutcome outcome =
        RunScript(dir,
                  std::string(ignores_term ? "trap '' TERM; " : "") +
                      "echo $$ > \"$(dirname \"$0\")/pid\"; while :; do sleep 0.05; done",
                  false, &stop);
    stopper.join();
    EXPECT_EQ(outcome.kind, RenderOutcome::Kind::kStopped);
    EXPECT_EQ(outcome.signal_number, ignores_term ? SIGKILL : SIGTERM);
    EXPECT_FALSE(ProcessExists(ReadFileText(dir / "pid")));
  }
  StopSignal taken_back;  // a request that was reset stops nothing
  taken_back.Request();
  taken_back.Reset();
  EXPECT_FALSE(taken_back.Requested());
  TempDir dir;
  EXPECT_EQ(RunScript(dir, "exit 0", false, &taken_back).kind, RenderOutcome::Kind::kSucceeded);
}

// An event a channel renderer gives, as text: "pages 3", "page 2", "failed 1", "ended".
std::string EventText(const PageEvent& event) {
  const std::string number = std::to_string(event.number);
  switch (event.kind) {
    case PageEvent::Kind::kPageCount:
      return "pages " + number;
    case PageEvent::Kind::kPageDone:
      return "page " + number;
    case PageEvent::Kind::kPageFailed:
      return "failed " + number;
    case PageEvent::Kind::kPageGrowing:
      return "growing " + number + " " + std::to_string(event.file);
    case PageEvent::Kind::kStopRequested:
      return "stop";
    case PageEvent::Kind::kQuiet:
      return "quiet";
    case PageEvent::Kind::kElsewhere:
      return "elsewhere";
    case PageEvent::Kind::kEnded:
      return "ended";
  }
  return "unknown";
}

// The events up to the end, as text.
std::vector<std::string> EventsOf(RendererProcess& process) {
  std::vector<std::string> events{EventText(process.NextEvent())};
  while (events.back() != "ended") events.push_back(EventText(process.NextEvent()));
  return events;
}

TEST(RendererProcessTest, AnnouncementsArriveInTheirOrderAndForeignLinesAreSkipped) {
  struct Case {
    const char* body;
    std::vector<std::string> events;
    RenderOutcome::Kind end;
  };
  const std::vector<Case> cases = {
      {"exit 0", {"ended"}, RenderOutcome::Kind::kSucceeded},  // announces nothing
      {"printf 'pages 3\\npage 2\\npage 1\\nfailed 3\\n' >&3",
       {"pages 3", "page 2", "page 1", "failed 3", "ended"},
       RenderOutcome::Kind::kSucceeded},
      {"printf 'growing 2 7\\ngrowing 3\\ngrowing 1 x\\npage 2\\n' >&3",
       {"growing 2 7", "page 2", "ended"},
       RenderOutcome::Kind::kSucceeded},  // a growing page names its file's number
      {"printf 'hello\\npage x\\npage 1 2\\npage 4' >&3",
       {"ended"},
       RenderOutcome::Kind::kSucceeded},  // no whole line of ours
      {"printf 'pages 2\\npage 1\\n' >&3; kill -KILL $$",
       {"pages 2", "page 1", "ended"},
       RenderOutcome::Kind::kFailed},  // dies: its channel ends with it
      {"printf 'page 1\\n' >&3; exec 3>&-; sleep 0.2; exit 5",
       {"page 1", "ended"},
       RenderOutcome::Kind::kFailed},  // closes the channel and goes on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    TempDir dir;
    RendererRequest request = Request(FakeRenderer(dir, c.body), {"lib"});
    request.page_channel = true;
    const auto process = RendererProcess::Start(request);
    ASSERT_TRUE(process);
    EXPECT_EQ(EventsOf(*process), c.events);
    EXPECT_EQ(process->Finish().kind, c.end);
  }
}

// Nothing reaches the renderer unasked, whatever the caller's own environment holds, and its
// input is empty. Asked, it gets the hint for intermediate pages, the password on a descriptor
// only (never in its arguments or environment), the channel, its workers and its page window, and
// the replies on the channel.
TEST(RendererProcessTest, OnlyWhatIsAskedReachesTheRenderer) {
  TempDir dir;
  const std::string path = FakeRenderer(
      dir,
      "out=\"$(dirname \"$0\")\"; printf '%s|' \"$@\" > \"$out/args\"; cat > \"$out/stdin\"\n"
      "echo \"[$QUILLAMAR_INTERMEDIATE_PNG][$QUILLAMAR_PAGE_CHANNEL][$QUILLAMAR_WORKERS]"
      "[$QUILLAMAR_PAGE_WINDOW]\" > \"$out/env\"; cat /proc/$$/environ > \"$out/environ\"\n"
      "echo \"[$QUILLAMAR_PASSWORD_FD]\" > \"$out/variable\"\n"
      "[ -n \"$QUILLAMAR_PASSWORD_FD\" ] && cat <&\"$QUILLAMAR_PASSWORD_FD\" > \"$out/password\"\n"
      "[ -n \"$QUILLAMAR_PAGE_CHANNEL\" ] || exit 0\n"
      "echo 'page 1' >&3; read reply <&3; echo \"$reply\" > \"$out/reply\"");
  const char* const caller_settings[] = {kIntermediateEnv, contract::kPasswordFdEnv,
                                         contract::kPageWindowEnv, contract::kPageChannelEnv};
  for (const char* name : caller_settings) ::setenv(name, "9", 1);
  RendererRequest request = Request(path, {"lib", "-o", dir / "p_%d.png"});
  EXPECT_EQ(RunRenderer(request).kind, RenderOutcome::Kind::kSucceeded);
  EXPECT_EQ(ReadFileText(dir / "env"), "[][][][]\n");
  EXPECT_EQ(ReadFileText(dir / "variable"), "[]\n");
  EXPECT_EQ(ReadFileText(dir / "stdin"), "");
  for (const char* name : caller_settings) ::unsetenv(name);

  const std::string password = "密码 with blanks\nand a second line";
  request.intermediate_pages = true;
  request.password = password;
  request.page_channel = true;
  request.workers = 3;
  request.page_window = 4;
  const auto process = RendererProcess::Start(request);
  ASSERT_TRUE(process);
  EXPECT_EQ(process->NextEvent().kind, PageEvent::Kind::kPageDone);
  process->Consumed(1);
  EXPECT_EQ(EventsOf(*process), std::vector<std::string>{"ended"});
  EXPECT_EQ(process->Finish().kind, RenderOutcome::Kind::kSucceeded);
  EXPECT_EQ(ReadFileText(dir / "env"), "[1][3,3][3][4]\n");
  EXPECT_EQ(ReadFileText(dir / "reply"), "consumed 1\n");
  EXPECT_EQ(ReadFileText(dir / "password"), password);
  EXPECT_EQ(ReadFileText(dir / "args"), "-o|" + dir / "p_%d.png|");
  EXPECT_NE(ReadFileText(dir / "variable"), "[]\n");
  EXPECT_EQ(ReadFileText(dir / "environ").find("密码"), std::string::npos);
}

TEST(RendererProcessTest, AStopIsReportedOnceAndStopsTheRenderer) {
  TempDir dir;
  StopSignal stop;
  RendererRequest request = Request(
      FakeRenderer(dir, "echo 'page 1' >&3; while :; do sleep 0.05; done"), {"lib"}, false, &stop);
  request.page_channel = true;
  const auto process = RendererProcess::Start(request);
  ASSERT_TRUE(process);
  EXPECT_EQ(process->NextEvent().kind, PageEvent::Kind::kPageDone);
  stop.Request();
  EXPECT_EQ(process->NextEvent().kind, PageEvent::Kind::kStopRequested);
  const RenderOutcome outcome = process->Finish();
  EXPECT_EQ(outcome.kind, RenderOutcome::Kind::kStopped);
  EXPECT_EQ(outcome.signal_number, SIGTERM);
}

TEST(RendererProcessTest, AWaitWithATimeLimitEndsQuietWhileTheRendererSaysNothing) {
  TempDir dir;
  RendererRequest request =
      Request(FakeRenderer(dir, "read reply <&3; echo 'page 1' >&3"), {"lib"});
  request.page_channel = true;
  const auto process = RendererProcess::Start(request);
  ASSERT_TRUE(process);
  EXPECT_EQ(process->NextEvent(20).kind, PageEvent::Kind::kQuiet);
  process->Consumed(7);  // the renderer waits for a reply before it says anything
  EXPECT_EQ(process->NextEvent(10000).kind, PageEvent::Kind::kPageDone);
  EXPECT_EQ(process->Finish().kind, RenderOutcome::Kind::kSucceeded);
}

}  // namespace
}  // namespace quillamar::renderer
