// Renderers started ahead of their turn: the host sees, and the output folder ends with, what the
// sequential run gives on the same PDFs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "batch/page_pacing.h"
#include "batch/prepare_queue.h"
#include "batch/recording_host.h"
#include "framework/exceptions.h"
#include "framework/paths.h"
#include "support/named_cases.h"
#include "support/temp_dir.h"

namespace quillamar::batch {
namespace {

// What a paced renderer can be working on, from what it has said and the run has consumed: the
// claim by which renderers are started ahead on the cores left.
struct PacingCase {
  const char* name;
  int total;  // 0: not said yet
  int window;
  std::vector<int> heard;
  std::vector<int> consumed;
  int renderable;
};

const PacingCase kPacingCases[] = {
    {"CountNotSaid", 0, 4, {}, {}, 1},
    {"UnpacedAllUnheard", 10, 0, {1, 3}, {}, 8},
    {"WindowFromTheStart", 10, 3, {}, {}, 3},
    {"HeardPagesKeepNoCoreBusy", 10, 3, {2}, {}, 2},
    {"ConsumedPagesOpenTheWindow", 10, 3, {1, 2}, {1, 2}, 3},
    {"AHeardPageNotConsumedHoldsTheWindow", 10, 2, {1, 2}, {2}, 0},
    {"OutOfOrderEndsCountOnce", 5, 5, {5, 4, 9}, {}, 3},
    {"EverythingHeard", 3, 2, {1, 2, 3}, {1}, 0},
};

class PagePacingTest : public ::testing::TestWithParam<PacingCase> {};

TEST_P(PagePacingTest, CountsThePagesTheWindowLetsStart) {
  const PacingCase& c = GetParam();
  PagePacing pacing;
  if (c.total > 0) pacing.SetTotal(c.total);
  for (const int page : c.heard) pacing.Heard(page);
  for (const int page : c.consumed) pacing.Consumed(page);
  EXPECT_EQ(pacing.RenderableNow(c.window), c.renderable);
}

QUILLAMAR_TABLE_TESTS(Batch, PagePacingTest, kPacingCases);

// Pages offered in turn to a queue of window 3 and budget 100 until one finds no room; the first
// taken gives its room back, and then the next fits or not.
struct QueueCase {
  const char* name;
  std::vector<long long> bytes;
  std::size_t started;
  bool next_after_one_taken;
};

const QueueCase kQueueCases[] = {
    {"WindowHolds", {10, 10, 10, 10}, 3, true},
    {"BudgetHolds", {60, 40, 1}, 2, true},
    {"OnePageAlwaysMay", {500, 1}, 1, true},
    {"RoomComesBackOnlyAsItWasTaken", {30, 60, 50}, 2, false},
};

class PrepareQueueTest : public ::testing::TestWithParam<QueueCase> {};

TEST_P(PrepareQueueTest, StartsWhatTheWindowAndBudgetLetThrough) {
  const QueueCase& c = GetParam();
  PrepareQueue queue(3, 100);
  std::size_t started = 0;
  for (; started < c.bytes.size() && queue.HasRoomFor(c.bytes[started]); ++started) {
    queue.Start({static_cast<int>(started) + 1, "", "", c.bytes[started], {}, nullptr},
                [] { return std::unique_ptr<PreparedPage>(); });
  }
  EXPECT_EQ(started, c.started);
  EXPECT_EQ(queue.TakeFront().page, 1);
  EXPECT_EQ(queue.HasRoomFor(c.bytes[started]), c.next_after_one_taken);
}

QUILLAMAR_TABLE_TESTS(Batch, PrepareQueueTest, kQueueCases);

using testing::ReadFileText;
using testing::TempDir;

// A renderer on the page channel that acts out the words its PDF holds: "pN" announces N pages,
// "wN" writes page N, "aN" announces it, "fN" says it failed, "sT" sleeps T seconds, "lX" logs X,
// "vN" warns naming page N's file, "eN" fails naming page N's file, "kP" exits as locked unless the
// password is P, "g" logs the workers it may use now and of all, then waits (5 s at most) for the
// run to grant more and logs the grant. It logs its start and end, and its pid.
constexpr char kActingRenderer[] = R"sh(#!/bin/sh
out="${2%\%d.png}"
bin="$(dirname "$0")"
name="$(basename "$(dirname "$7")")/$(basename "$7")"
echo $$ >> "$bin/pids"
echo "start $name" >> "$bin/log"
for w in $(cat "$7"); do
  n="${w#?}"
  case "$w" in
    p*) echo "pages $n" >&3 ;;
    w*) echo "page $n of $name" > "$out$n.png" ;;
    a*) echo "page $n" >&3 ;;
    f*) echo "failed $n" >&3 ;;
    s*) sleep "$n" ;;
    l*) echo "$n" >> "$bin/log" ;;
    g) echo "workers now $QUILLAMAR_WORKERS_NOW of $QUILLAMAR_WORKERS" >> "$bin/log"
       timeout 5 sh -c 'while read -r l; do case "$l" in workers*) echo "$l"; exit;; esac; done' \
         <&3 >> "$bin/log" ;;
    v*) echo "lib.dll: warning: no font for $out$n.png" >&2 ;;
    e*) echo "lib.dll: cannot write $out$n.png" >&2; exit 1 ;;
    k*) pw=""; [ -n "$QUILLAMAR_PASSWORD_FD" ] && eval "pw=\$(cat <&$QUILLAMAR_PASSWORD_FD)"
        [ "$pw" = "$n" ] || { echo "lib.dll: locked" >&2; exit 4; } ;;
  esac
done
echo "end $name" >> "$bin/log"
)sh";

struct Pdf {
  std::string name;   // under pdfs/, a folder of its own included
  std::string words;  // what its renderer does
};

class RenderAheadTest : public ::testing::Test {
 protected:
  RenderAheadTest() {
    settings_.renderer_path = dir_.Write("bin/lib.dll", kActingRenderer, /*executable=*/true);
  }

  void Choose(const std::vector<Pdf>& pdfs) {
    host_.files.Clear();
    for (const Pdf& pdf : pdfs) host_.files.Add(dir_.Write("pdfs/" + pdf.name, pdf.words));
  }

  // A JPG run that completes, then what the acting renderers (and the test) logged.
  std::string LogOfJpgRun(int jobs) {
    host_.format = "JPG";
    EXPECT_EQ(RunWith(jobs), "done");
    return ReadFileText(LogPath());
  }
  std::filesystem::path LogPath() const { return dir_ / "bin/log"; }

  // Runs into a fresh output folder with the jobs given (1: one renderer at a time) and returns
  // the outcome: "done", "stopped" or "exception".
  std::string RunWith(int jobs, const std::map<std::string, std::string>& earlier_files = {}) {
    host_.folder = dir_ / ("out" + std::to_string(jobs));
    std::filesystem::remove_all(host_.folder);
    ForceFolders(host_.folder);
    for (const auto& [name, text] : earlier_files)
      dir_.Write(FileNameOf(host_.folder) + "/" + name, text);
    host_.log.clear();
    settings_.jobs = jobs;
    try {
      return batch::Run(host_, settings_).outcome == RunOutcome::kStopped ? "stopped" : "done";
    } catch (const Exception&) {
      return "exception";
    }
  }

  // What the host showed; pages are re-encoded ahead, so when they were is not shown.
  Log Shown() const {
    Log shown;
    for (const std::string& entry : host_.log) {
      const bool reencode = entry.rfind("Reencode", 0) == 0;
      if (!reencode && (entry.rfind("Pages", 0) == 0 || RecordingHost::IsVisible(entry))) {
        shown.push_back(entry);
      }
    }
    return shown;
  }

  // The folder's files with their contents, the run's folder text shown as "OUT".
  std::string Files() const { return Anonymous(FolderContents(host_.folder)); }
  Log AnonymousShown() const {
    Log shown = Shown();
    for (std::string& entry : shown) entry = Anonymous(entry);
    return shown;
  }

  // Runs one renderer at a time, then with renderers started ahead: both end as expected and
  // the second shows and leaves what the first does.
  void ExpectAheadAsSequential(const std::string& outcome,
                               const std::map<std::string, std::string>& earlier_files = {},
                               const std::vector<std::optional<std::string>>& passwords = {}) {
    std::string files[2];
    Log shown[2];
    for (const int jobs : {1, 4}) {
      host_.passwords.assign(passwords.begin(), passwords.end());
      EXPECT_EQ(RunWith(jobs, earlier_files), outcome);
      files[jobs > 1] = Files();
      shown[jobs > 1] = AnonymousShown();
    }
    EXPECT_EQ(files[1], files[0]);
    EXPECT_EQ(shown[1], shown[0]);
  }

  bool EveryRendererGone() const {
    std::istringstream pids(ReadFileText(dir_ / "bin/pids"));
    for (int pid; pids >> pid;) {
      if (::kill(pid, 0) == 0) return false;
    }
    return true;
  }

  TempDir dir_;
  RecordingHost host_;
  RunSettings settings_;

 private:
  std::string Anonymous(std::string text) const {
    for (auto at = text.find(host_.folder); at != std::string::npos; at = text.find(host_.folder)) {
      text.replace(at, host_.folder.size(), "OUT");
    }
    return text;
  }
};

TEST_F(RenderAheadTest, ShowsAndLeavesWhatTheSequentialRunDoes) {
  struct Case {
    const char* name;
    const char* format;
    std::vector<Pdf> pdfs;
    std::vector<std::optional<std::string>> passwords = {};
    std::map<std::string, std::string> earlier_files = {};  // in the output folder before the run
  };
  const Case cases[] = {
      {"short PDFs",
       "JPG",
       {{"a.pdf", "p1 w1 a1"},
        {"b.pdf", "p2 w1 a1 w2 a2"},
        {"c.pdf", "p1 w1 a1"},
        {"d.pdf", "p1 w1 a1"}}},
      {"a slow first PDF, then a failure and a warning naming page files",
       "JPG",
       {{"a.pdf", "p2 w1 a1 s0.3 w2 a2"}, {"b.pdf", "p3 w1 a1 f2 e2"}, {"c.pdf", "p1 v1 w1 a1"}}},
      {"a locked PDF asks at its turn",
       "JPG",
       {{"a.pdf", "p1 s0.2 w1 a1"}, {"b.pdf", "kpw p1 w1 a1"}, {"c.pdf", "p1 w1 a1"}},
       {"wrong", "pw"}},
      {"pages of an earlier run",
       "JPG",
       {{"a.pdf", "p1 s0.2 w1 a1"}, {"b.pdf", "p1 w1 a1"}},
       {},
       {{"b_1.png", "old"}, {"b_2.png", "old"}, {"b_2.jpg", "old"}}},
      {"equal base names",
       "JPG",
       {{"x/a.pdf", "p2 s0.2 w1 a1 w2 a2"}, {"b.pdf", "p1 w1 a1"}, {"y/a.pdf", "p1 w1 a1"}}},
      {"a renderer that announces nothing",
       "JPG",
       {{"a.pdf", "s0.2 w1"}, {"b.pdf", "w1 w2"}, {"c.pdf", "w2"}}},
      {"PNG", "PNG", {{"a.pdf", "p1 s0.2 w1 a1"}, {"b.pdf", "p2 w1 a1 w2 a2"}, {"c.pdf", "w1 e2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Choose(c.pdfs);
    host_.format = c.format;
    ExpectAheadAsSequential("done", c.earlier_files, c.passwords);
    EXPECT_TRUE(EveryRendererGone());
  }
}

TEST_F(RenderAheadTest, APageThatFailsAheadFailsAtItsTurnAsInTheSequentialRun) {
  // b warns too: the warning comes after its pages, which the failure never reaches.
  Choose({{"a.pdf", "p1 s0.3 w1 a1"}, {"b.pdf", "p2 v1 w1 a1 w2 a2"}, {"c.pdf", "p1 w1 a1"}});
  host_.format = "JPG";
  host_.on_reencode = [](const std::string& png, const std::string&) {
    if (FileNameOf(png) == "b_2.png") throw Exception("Invalid PNG file");
  };
  ExpectAheadAsSequential("exception");
}

TEST_F(RenderAheadTest, LaterPdfsAreRenderedWhileTheFirstOneRuns) {
  Choose({{"a.pdf", "p1 s1 w1 a1"}, {"b.pdf", "p1 w1 a1"}, {"c.pdf", "p1 w1 a1"}});
  const std::string log = LogOfJpgRun(4);
  EXPECT_LT(log.find("end pdfs/c.pdf"), log.find("end pdfs/a.pdf")) << log;
}

TEST_F(RenderAheadTest, RenderersAreStartedWhileThePdfAtItsTurnWaitsForAPage) {
  Choose({{"a.pdf", "p1 w1 a1"}, {"b.pdf", "p1 w1 a1"}, {"c.pdf", "p1 w1 a1"}});
  host_.on_prepare = [&](const std::string& png) {
    if (FileNameOf(png) != "a_1.png") return;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    std::ofstream(LogPath(), std::ios::app) << "prepared a_1\n";
  };
  const std::string log = LogOfJpgRun(2);
  EXPECT_LT(log.find("end pdfs/c.pdf"), log.find("prepared a_1")) << log;
}

// With -j 2 the renderer may be four pages ahead of the first page not yet consumed: once pages 2
// to 4 are in, only its worker on page 1 is busy, and the idle core goes to the next PDF waiting
// (b took the core a left while opening its PDF, and has ended by then).
TEST_F(RenderAheadTest, ACoreThePacedRendererCannotUseGoesToTheNextPdf) {
  Choose({{"a.pdf", "p6 s0.6 w2 a2 w3 a3 w4 a4 s1.5 lpage-1-rendered w1 a1 w5 a5 w6 a6"},
          {"b.pdf", "s0.2 p1 w1 a1"},
          {"c.pdf", "p1 w1 a1"}});
  const std::string log = LogOfJpgRun(2);
  EXPECT_LT(log.find("start pdfs/c.pdf"), log.find("page-1-rendered")) << log;
}

// b starts ahead on the core a leaves once a's page 1 is in; at its turn it may use both.
TEST_F(RenderAheadTest, ARendererStartedAheadGetsEveryCoreAtItsTurn) {
  Choose({{"a.pdf", "p2 w1 a1 s0.3 w2 a2"}, {"b.pdf", "p2 g w1 a1 w2 a2"}});
  const std::string log = LogOfJpgRun(2);
  const auto now = log.find("workers now 1 of 2");
  const auto granted = log.find("workers 2\n");
  EXPECT_LT(log.find("start pdfs/b.pdf"), log.find("end pdfs/a.pdf")) << log;
  EXPECT_LT(now, log.find("end pdfs/a.pdf")) << log;
  EXPECT_LT(log.find("end pdfs/a.pdf"), granted) << log;
  EXPECT_NE(granted, std::string::npos) << log;
}

TEST_F(RenderAheadTest, EqualBaseNamesNeverRenderAtTheSameTime) {
  Choose({{"x/a.pdf", "p1 s0.3 w1 a1"}, {"b.pdf", "p1 w1 a1"}, {"y/a.pdf", "p1 w1 a1"}});
  const std::string log = LogOfJpgRun(4);
  EXPECT_LT(log.find("end x/a.pdf"), log.find("start y/a.pdf")) << log;
  EXPECT_EQ(ReadFileText(host_.folder + "/a_1.jpg"), "jpeg of page 1 of y/a.pdf\n");
}

TEST_F(RenderAheadTest, AStopOrAnExceptionLeavesNothingOfTheLaterPdfs) {
  Choose({{"a.pdf", "p2 w1 a1 s0.5 w2 a2"}, {"b.pdf", "p1 w1 a1"}, {"c.pdf", "p2 w1 a1 s9 w2"}});
  host_.format = "JPG";
  for (const char* outcome : {"stopped", "exception"}) {
    SCOPED_TRACE(outcome);
    StopSignal stop;
    settings_.stop = &stop;
    host_.on_reencode = [&](const std::string& png, const std::string&) {
      if (FileNameOf(png) != "a_2.png") return;
      if (std::string(outcome) == "stopped") {
        stop.Request();
      } else {
        throw Exception("Invalid PNG file");
      }
    };
    std::string files[2];
    for (const int jobs : {1, 4}) {
      stop.Reset();
      EXPECT_EQ(RunWith(jobs), outcome);
      files[jobs > 1] = Files();
    }
    EXPECT_EQ(files[1], files[0]);
    EXPECT_NE(ReadFileText(LogPath()).find("start pdfs/c.pdf"), std::string::npos);
    EXPECT_TRUE(EveryRendererGone());
  }
}

TEST_F(RenderAheadTest, StagingLeftByARunThatCrashedGoesAndALiveRunsStays) {
  Choose({{"a.pdf", "p1 w1 a1"}});
  host_.folder = dir_ / "out";
  const std::string staging = host_.folder + "/.quillamar-ahead";
  dir_.Write("out/.quillamar-ahead/run-crashed/1/a_1.png", "partial");
  ForceFolders(staging + "/run-live");
  const int live = ::open((staging + "/run-live").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(live, LOCK_EX), 0);
  settings_.jobs = 4;
  batch::Run(host_, settings_);
  EXPECT_EQ(testing::FolderEntries(staging), std::vector<std::string>{"run-live"});
  ::close(live);
}

}  // namespace
}  // namespace quillamar::batch
