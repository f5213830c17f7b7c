// The conversion run against a recording host and shell-script renderers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "batch/batch.h"
#include "batch/recording_host.h"
#include "framework/exceptions.h"
#include "framework/paths.h"
#include "support/images.h"
#include "support/named_cases.h"
#include "support/temp_dir.h"

namespace quillamar::batch {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names
using testing::ReadFileText;
using testing::TempDir;

// A folder with PDFs (empty files: the fake renderer does not read them), an output folder and a
// shell-script renderer. The renderer writes "page N of PDF" for each page number in PAGES
// (a variable of its script) and records how it was called.
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.folder = dir_ / "out";
    ForceFolders(host_.folder);
    WriteRenderer("1 2 3");
  }

  void WriteRenderer(const std::string& pages, const std::string& ending = "exit 0") {
    settings_.renderer_path = dir_.Write(
        "bin/lib.dll",
        "#!/bin/sh\n"
        "log=\"$(dirname \"$0\")/calls\"\n"
        "printf '%s|' \"$@\" >> \"$log\"; echo \"[$QUILLAMAR_INTERMEDIATE_PNG]\" >> \"$log\"\n"
        "for n in " +
            pages + "; do echo \"page $n of $7\" > \"${2%\\%d.png}$n.png\"; done\n" + ending + "\n",
        /*executable=*/true);
  }

  void ChooseFiles(std::initializer_list<std::string> names) {
    host_.files.Clear();
    for (const auto& name : names) host_.files.Add(dir_.Write("pdfs/" + name, ""));
  }

  std::string Calls() const { return ReadFileText(dir_ / "bin/calls"); }
  bool OutputHas(const std::string& name) const { return FileExists(host_.folder + "/" + name); }

  TempDir dir_;
  RecordingHost host_;
  RunSettings settings_;
};

TEST_F(RunTest, WithoutChosenFilesOrAFolderOnlyTheirChoiceIsOffered) {
  ChooseFiles({"a.pdf"});
  host_.chosen_text.clear();
  EXPECT_EQ(batch::Run(host_, settings_).outcome, RunOutcome::kNothingChosen);
  EXPECT_EQ(host_.log, (Log{"ChosenFilesText", "ChooseFiles"}));
  host_.log.clear();
  host_.chosen_text = "a.pdf;";
  host_.folder.clear();
  batch::Run(host_, settings_);
  EXPECT_EQ(host_.log, (Log{"ChosenFilesText", "OutputFolderText", "ChooseFolder"}));
  EXPECT_EQ(Calls(), "");
}

TEST_F(RunTest, OnePdfInPngCallsTheHostInItsOrder) {
  ChooseFiles({"a.pdf"});
  const RunResult result = batch::Run(host_, settings_);
  EXPECT_EQ(result.outcome, RunOutcome::kCompleted);
  EXPECT_EQ(host_.log, (Log{"ChosenFilesText", "OutputFolderText", "OutputFolderText",
                            "SourceFiles", "Position 0", "Maximum 0", "Status 正在转换 a.pdf",
                            "Repaint", "FormatText", "OutputFolderText", "ResolutionText",
                            "FormatText", "Position 0", "Status 已完成！", "Position 0"}));
  EXPECT_EQ(Calls(),
            "-o|" + host_.folder + "/a_%d.png|-F|png|-r|72|" + dir_ / "pdfs/a.pdf" + "|[]\n");
  EXPECT_TRUE(OutputHas("a_1.png") && OutputHas("a_3.png"));
  EXPECT_FALSE(OutputHas("a_1.jpg"));
}

TEST_F(RunTest, ThreePdfsMoveTheProgressByIndex) {
  ChooseFiles({"a.pdf", "b.pdf", "c.pdf"});
  batch::Run(host_, settings_);
  EXPECT_EQ(host_.Visible(), (Log{"Position 0", "Maximum 2", "Status 正在转换 a.pdf", "Position 0",
                                  "Status 正在转换 b.pdf", "Position 1", "Status 正在转换 c.pdf",
                                  "Position 2", "Status 已完成！", "Position 0"}));
}

TEST_F(RunTest, ARendererThatCannotStartIsReportedAndTheRunGoesOn) {
  ChooseFiles({"a.pdf", "b.pdf", "c.pdf"});
  settings_.jobs = 1;  // each renderer starts at its PDF's turn
  // Takes the execute bit away for the second PDF only.
  host_.on_status = [&](const std::string& status) {
    ::chmod(settings_.renderer_path.c_str(), status == "正在转换 b.pdf" ? 0644 : 0755);
  };
  const RunResult result = batch::Run(host_, settings_);
  EXPECT_EQ(result.pdfs_not_started, 1);
  EXPECT_EQ(host_.Visible(),
            (Log{"Position 0", "Maximum 2", "Status 正在转换 a.pdf", "Position 0",
                 "Status 正在转换 b.pdf", "Message 运行主程序错误!", "Status 正在转换 c.pdf",
                 "Position 2", "Status 已完成！", "Position 0"}));
  EXPECT_TRUE(OutputHas("a_1.png") && OutputHas("c_1.png"));
  EXPECT_FALSE(OutputHas("b_1.png"));
}

TEST_F(RunTest, AFailingRendererIsReportedAfterItsPagesAreConverted) {
  WriteRenderer("1", "echo 'lib.dll: a.pdf: page 2: damaged page' >&2; exit 1");
  ChooseFiles({"a.pdf", "b.pdf"});
  host_.format = "JPG";
  const RunResult result = batch::Run(host_, settings_);
  EXPECT_EQ(result.pdfs_failed, 2);
  EXPECT_EQ(result.pages_written, 2);
  // Users see the renderer's line without its program name.
  EXPECT_EQ(host_.Visible(),
            (Log{"Position 0", "Maximum 1", "Status 正在转换 a.pdf", "Reencode a_1.png a_1.jpg",
                 "Message 转换失败：a.pdf\na.pdf: page 2: damaged page", "Position 0",
                 "Status 正在转换 b.pdf", "Reencode b_1.png b_1.jpg",
                 "Message 转换失败：b.pdf\na.pdf: page 2: damaged page", "Position 1",
                 "Status 已完成！", "Position 0"}));
}

TEST_F(RunTest, TheRenderersWarningReachesTheHostAndChangesNothingElse) {
  WriteRenderer("1", "echo 'lib.dll: warning: a.pdf: text not drawn: F on page 1' >&2; exit 0");
  ChooseFiles({"a.pdf"});
  host_.format = "JPG";
  const RunResult result = batch::Run(host_, settings_);
  EXPECT_EQ(result.outcome, RunOutcome::kCompleted);
  EXPECT_EQ(result.pdfs_failed, 0);
  EXPECT_EQ(host_.Visible(),
            (Log{"Position 0", "Maximum 0", "Status 正在转换 a.pdf",
                 "Warning a.pdf: text not drawn: F on page 1", "Reencode a_1.png a_1.jpg",
                 "Position 0", "Status 已完成！", "Position 0"}));
}

TEST_F(RunTest, JpgReencodesEveryPageAndDeletesItsPng) {
  ChooseFiles({"a.pdf"});
  host_.format = "JPG";
  batch::Run(host_, settings_);
  for (const char* page : {"1", "2", "3"}) {
    EXPECT_FALSE(OutputHas("a_" + std::string(page) + ".png"));
    EXPECT_EQ(ReadFileText(host_.folder + "/a_" + page + ".jpg"),
              "jpeg of page " + std::string(page) + " of " + dir_ / "pdfs/a.pdf" + "\n");
  }
  EXPECT_FALSE(OutputHas("a_4.jpg"));
  EXPECT_EQ(Calls().substr(Calls().size() - 4), "[1]\n");  // the intermediate-page hint
}

// The page loop stops at its limit; only the exact text "JPG" re-encodes.
TEST_F(RunTest, ThePageLoopStopsAtItsLimitAndOnlyJpgReencodes) {
  settings_.max_pages = 2;  // stands in for 10000
  ChooseFiles({"a.pdf"});
  for (const char* format : {"JPG", "jpg"}) {
    host_.format = format;
    batch::Run(host_, settings_);
  }
  EXPECT_TRUE(OutputHas("a_1.jpg") && OutputHas("a_2.jpg") && OutputHas("a_3.png"));
  EXPECT_TRUE(OutputHas("a_1.png") && !OutputHas("a_3.jpg"));
}

TEST_F(RunTest, EqualBaseNamesWriteTheSamePageFiles) {
  host_.files.Clear();
  host_.files.Add(dir_.Write("one/x.pdf", ""));
  host_.files.Add(dir_.Write("two/x.pdf", ""));
  batch::Run(host_, settings_);
  EXPECT_EQ(ReadFileText(host_.folder + "/x_1.png"), "page 1 of " + dir_ / "two/x.pdf" + "\n");
}

TEST_F(RunTest, AFailedPageEndsTheRunAndLeavesLaterPagesAsPng) {
  ChooseFiles({"a.pdf", "b.pdf"});
  host_.format = "JPG";
  host_.on_reencode = [](const std::string& png, const std::string&) {
    if (FileNameOf(png) == "a_2.png") throw Exception("Invalid PNG file");
  };
  EXPECT_THROW(batch::Run(host_, settings_), Exception);
  EXPECT_TRUE(OutputHas("a_1.jpg") && OutputHas("a_2.png") && OutputHas("a_3.png"));
  EXPECT_FALSE(OutputHas("a_1.png") || OutputHas("a_2.jpg") || OutputHas("b_1.png"));
  EXPECT_EQ(host_.Visible().back(), "Reencode a_2.png a_2.jpg");
}

TEST_F(RunTest, AMissingFolderIsCreatedWithEveryLevelBeforeTheFirstRenderer) {
  host_.folder = dir_ / "deep/er/out";
  WriteRenderer("1", "test -d \"$(dirname \"$2\")\" || exit 9");
  ChooseFiles({"a.pdf"});
  EXPECT_EQ(batch::Run(host_, settings_).pdfs_failed, 0);
  EXPECT_TRUE(OutputHas("a_1.png"));
}

TEST_F(RunTest, ABareRelativeFolderThatIsMissingEndsTheRunAtOnce) {
  host_.folder = "pictures-not-here";
  ChooseFiles({"a.pdf"});
  try {
    batch::Run(host_, settings_);
    FAIL() << "the run went on";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Message(), "Unable to create directory");
  }
  EXPECT_EQ(Calls(), "");
  EXPECT_TRUE(host_.Visible().empty());
}

TEST_F(RunTest, AFolderEndingInASlashIsUsedUnchanged) {
  host_.folder += "/";
  ChooseFiles({"a.pdf"});
  batch::Run(host_, settings_);
  EXPECT_NE(Calls().find("-o|" + host_.folder + "/a_%d.png|"), std::string::npos);
  EXPECT_TRUE(OutputHas("a_1.png"));
}

TEST_F(RunTest, AStopFinishesTheCurrentPageAndEndsTheRun) {
  StopSignal stop;
  settings_.stop = &stop;
  ChooseFiles({"a.pdf", "b.pdf"});
  host_.format = "JPG";
  host_.on_reencode = [&](const std::string&, const std::string&) { stop.Request(); };
  EXPECT_EQ(batch::Run(host_, settings_).outcome, RunOutcome::kStopped);
  // Only JPEGs are left: the rendered page not yet converted goes.
  EXPECT_TRUE(OutputHas("a_1.jpg"));
  EXPECT_FALSE(OutputHas("a_1.png") || OutputHas("a_2.png") || OutputHas("b_1.png"));
  EXPECT_EQ(host_.Visible().back(), "Status 已停止（第 1/2 个文件）");
}

TEST_F(RunTest, AStopWhileRenderingEndsTheRendererAndTheRun) {
  WriteRenderer("1", "while :; do sleep 0.05; done");
  StopSignal stop;
  settings_.stop = &stop;
  ChooseFiles({"a.pdf", "b.pdf"});
  host_.format = "JPG";
  std::thread stopper([&] {
    while (!OutputHas("a_1.png")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop.Request();
  });
  EXPECT_EQ(batch::Run(host_, settings_).outcome, RunOutcome::kStopped);
  stopper.join();
  EXPECT_EQ(host_.Visible().back(), "Status 已停止（第 1/2 个文件）");
  // Its page was never converted, so it goes: a stopped JPG run leaves only JPEGs.
  EXPECT_FALSE(OutputHas("a_1.png") || OutputHas("a_1.jpg") || OutputHas("b_1.png"));
}

// A renderer that speaks on the page channel, scripted by steps: "pN" announces the page count,
// "wN" writes page N, "aN" announces page N, "fN" announces that page N failed, "cN" waits (at
// most 5 s) until the run has consumed page N and lists the output folder into "seen", "gN"
// starts page N's temporary and announces it growing, "rN" renames it into place. Without
// announce, the same renderer says nothing (a foreign renderer).
std::string ChannelScript(const std::string& steps, const std::string& ending, bool announce) {
  std::string script =
      "#!/bin/sh\nout=\"${2%\\%d.png}\"\nbin=\"$(dirname \"$0\")\"\necho $$ > \"$bin/pid\"\n";
  std::istringstream words(steps);
  for (std::string word; words >> word;) {
    const std::string n = word.substr(1);
    const std::string temporary = "\"$(dirname \"$out\")/.lib.dll-$$-" + n + ".tmp\"";
    if (word[0] == 'w') script += "echo \"page " + n + " of $7\" > \"${out}" + n + ".png\"\n";
    if (word[0] == 'g') script += "echo \"page " + n + " of $7\" > " + temporary + "\n";
    if (word[0] == 'r') script += "mv " + temporary + " \"${out}" + n + ".png\"\n";
    if (!announce) continue;
    if (word[0] == 'p') script += "echo 'pages " + n + "' >&3\n";
    if (word[0] == 'a') script += "echo 'page " + n + "' >&3\n";
    if (word[0] == 'f') script += "echo 'failed " + n + "' >&3\n";
    if (word[0] == 'g') script += "echo 'growing " + n + " " + n + "' >&3; sleep 0.1\n";
    if (word[0] == 'c') {
      script += "timeout 5 sh -c 'while read w n; do [ \"$n\" = " + n +
                " ] && exit 0; done; exit 1' <&3 && ls \"$(dirname \"$out\")\" > \"$bin/seen\"\n";
    }
  }
  return script + ending + "\n";
}

// The log without the entries that start with prefix, nor those of page progress.
Log Without(const std::string& prefix, const Log& log) {
  Log kept;
  for (const auto& entry : log) {
    if (entry.rfind(prefix, 0) != 0 && entry.rfind("Pages", 0) != 0) kept.push_back(entry);
  }
  return kept;
}

// The sequential order: one renderer at a time, one page after the other.
class ChannelRunTest : public RunTest {
 protected:
  ChannelRunTest() { settings_.jobs = 1; }
  void UseChannelRenderer(const std::string& steps, const std::string& ending = "exit 0",
                          bool announce = true) {
    settings_.renderer_path =
        dir_.Write("bin/lib.dll", ChannelScript(steps, ending, announce), /*executable=*/true);
  }
  // Runs the PDFs a.pdf and b.pdf in JPG; returns the outcome, or "exception".
  std::string RunJpg() {
    ChooseFiles({"a.pdf", "b.pdf"});
    host_.format = "JPG";
    try {
      return batch::Run(host_, settings_).outcome == RunOutcome::kStopped ? "stopped" : "done";
    } catch (const Exception&) {
      return "exception";
    }
  }
  struct Case {
    const char* name;
    const char* steps;
    const char* ending;
  };
  // Each case with the renderer announcing its pages and with the same renderer saying nothing:
  // the same files and the same texts shown.
  template <std::size_t N>
  void CompareWithASilentRenderer(const Case (&cases)[N], const std::string& unshown = "Pages") {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      std::string files[2];
      Log shown[2];
      for (const bool announce : {false, true}) {
        std::filesystem::remove_all(host_.folder);
        ForceFolders(host_.folder);
        host_.log.clear();
        UseChannelRenderer(c.steps, c.ending, announce);
        EXPECT_EQ(RunJpg(), "done");
        files[announce] = FolderContents(host_.folder);
        shown[announce] = Without(unshown, host_.Visible());
      }
      EXPECT_EQ(files[true], files[false]);
      EXPECT_EQ(shown[true], shown[false]);
    }
  }
  bool RendererGone() const {
    return ::kill(std::atoi(ReadFileText(dir_ / "bin/pid").c_str()), 0) != 0;
  }
};

TEST_F(ChannelRunTest, LeavesTheSameFilesAndShowsTheSameAsARendererThatSaysNothing) {
  const Case cases[] = {
      {"in order", "p3 w1 a1 w2 a2 w3 a3", "exit 0"},
      {"out of order", "p3 w2 a2 w3 a3 w1 a1", "exit 0"},
      {"announced, missing", "p3 w1 a1 a2 w3 a3", "exit 0"},
      {"failed page", "p3 w1 a1 f2 w3 a3", "echo 'lib.dll: page 2: broken' >&2; exit 1"},
      {"announces, then crashes", "p4 w1 a1 w2 a2 w3", "kill -KILL $$"},
      {"beyond the page limit", "p4 w1 a1 w2 a2 w3 a3 w4 a4", "exit 0"},
  };
  settings_.max_pages = 3;
  CompareWithASilentRenderer(cases);
}

// A page read while it grows, with a worker beside the run's thread.
TEST_F(ChannelRunTest, APageAnnouncedGrowingEndsAsIfOnlyItsEndWereAnnounced) {
  // As the renderer does, the temporary of a page that failed goes.
  const Case cases[] = {
      {"completed", "p3 w1 a1 g2 r2 a2 w3 a3", "exit 0"},
      {"failed", "p3 w1 a1 g2 f2 w3 a3",
       "rm \"$(dirname \"$out\")\"/.lib.dll-*; echo 'lib.dll: page 2: broken' >&2; exit 1"},
      {"crashed", "p3 w1 a1 g2", "rm \"$(dirname \"$out\")\"/.lib.dll-*; kill -KILL $$"},
      {"done before the earlier page", "p3 g2 r2 a2 w1 a1 w3 a3", "exit 0"},
  };
  settings_.jobs = 2;  // the later PDF's pages may be prepared earlier: those are not compared
  CompareWithASilentRenderer(cases, "Reencode");
}

TEST_F(ChannelRunTest, PagesAreCommittedWhileTheRendererWaitsOnItsWindow) {
  // The renderer goes on only once the run has consumed page 1: by then that page is a JPEG (seen
  // here by b.pdf's renderer, the last one), its PNG left to the renderer to write page 2 over.
  UseChannelRenderer("p2 w1 a1 c1 w2 a2");
  EXPECT_EQ(RunJpg(), "done");
  EXPECT_EQ(ReadFileText(dir_ / "bin/seen"), "a_1.jpg\na_2.jpg\nb_1.jpg\nb_1.png\n");
  EXPECT_TRUE(OutputHas("a_2.jpg") && OutputHas("b_2.jpg"));
  const Log pages_of_a(host_.log.begin(),
                       std::find(host_.log.begin(), host_.log.end(), "Status 正在转换 b.pdf"));
  EXPECT_EQ(Only(pages_of_a, {"Pages", "Reencode"}),
            (Log{"Pages 0/2", "Reencode a_1.png a_1.jpg", "Pages 1/2", "Reencode a_2.png a_2.jpg",
                 "Pages 2/2"}));
}

// A renderer that takes no spares, as this one, is left at most two (of the pages consumed first),
// and those go once it has ended.
TEST_F(ChannelRunTest, AtMostTwoSparesWaitForTheRendererAndGoWhenItEnds) {
  UseChannelRenderer("p6 w1 a1 c1 w2 a2 c2 w3 a3 c3",
                     "ls -A \"$(dirname \"$out\")\" > \"$bin/seen\"; exit 0");
  EXPECT_EQ(RunJpg(), "done");
  EXPECT_EQ(ReadFileText(dir_ / "bin/seen"),
            "a_1.jpg\na_2.jpg\na_3.jpg\nb_1.jpg\nb_1.png\nb_2.jpg\nb_2.png\nb_3.jpg\n");
  EXPECT_EQ(FolderContents(host_.folder).find(".png"), std::string::npos);
}

TEST_F(ChannelRunTest, InPngThePagesAreCountedAsAnnounced) {
  UseChannelRenderer("p2 w2 a2 w1 a1");
  ChooseFiles({"a.pdf"});
  batch::Run(host_, settings_);
  EXPECT_EQ(Only(host_.log, {"Pages"}), (Log{"Pages 0/2", "Pages 1/2", "Pages 2/2"}));
  EXPECT_TRUE(OutputHas("a_1.png") && OutputHas("a_2.png"));
}

// A stop leaves only JPEGs (and a PNG of an earlier run); an exception keeps the pages from its
// page on as PNG.
TEST_F(ChannelRunTest, AStopOrAnExceptionMidwayStopsTheRendererAndLeavesItsPages) {
  struct Case {
    const char* name;
    const char* outcome;
    std::vector<std::string> jpeg;
    std::vector<std::string> png;
    const char* status;
  };
  const Case cases[] = {
      {"stop", "stopped", {"a_1", "a_2"}, {"a_5"}, "Status 已停止（第 1/2 个文件，2/9 页）"},
      {"exception", "exception", {"a_1"}, {"a_2", "a_3", "a_5"}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(host_.folder);
    ForceFolders(host_.folder);
    const std::string earlier = host_.folder + "/a_5.png";
    std::ofstream(earlier) << "an earlier run's page";
    std::filesystem::last_write_time(
        earlier, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    StopSignal stop;
    settings_.stop = &stop;
    // The renderer writes page 3 and would go on for ever.
    UseChannelRenderer("p9 w1 a1 w2 w3 a3 a2", "while :; do sleep 0.05; done");
    host_.on_reencode = [&](const std::string& png, const std::string&) {
      if (FileNameOf(png) != "a_2.png") return;
      if (std::string(c.name) == "stop") {
        stop.Request();
      } else {
        throw Exception("Invalid PNG file");
      }
    };
    EXPECT_EQ(RunJpg(), c.outcome);
    EXPECT_TRUE(RendererGone());
    for (const auto& page : c.jpeg) {
      EXPECT_TRUE(OutputHas(page + ".jpg") && !OutputHas(page + ".png")) << page;
    }
    for (const auto& page : c.png) {
      EXPECT_TRUE(OutputHas(page + ".png") && !OutputHas(page + ".jpg")) << page;
    }
    if (c.status != nullptr) {
      EXPECT_EQ(host_.Visible().back(), c.status);
    }
    EXPECT_FALSE(OutputHas("a_4.png") || OutputHas("b_1.png"));
    EXPECT_EQ(OutputHas("a_3.png"), c.png.size() > 1);
  }
}

// Prepares pages for real on worker threads (reading the PNG) and writes them on Commit.
class AheadHost : public RecordingHost {
 public:
  std::string failing_page;  // the PNG whose preparation raises
  std::mutex prepared_mutex;
  std::vector<std::string> prepared;
  std::atomic<int> preparing = 0;  // at once
  int most_preparing = 0;

  std::unique_ptr<PreparedPage> PrepareReencode(const std::string& png,
                                                const std::string& jpg) override {
    {
      std::lock_guard lock(prepared_mutex);
      prepared.push_back(FileNameOf(png));
      most_preparing = std::max(most_preparing, ++preparing);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // long enough to overlap
    --preparing;
    if (FileNameOf(png) == failing_page) throw Exception("Invalid PNG file");
    return std::make_unique<Written>(*this, "jpeg of " + ReadFileText(png), png, jpg);
  }

 private:
  struct Written : PreparedPage {
    Written(AheadHost& host, std::string bytes, std::string png, std::string jpg)
        : host(host), bytes(std::move(bytes)), png(std::move(png)), jpg(std::move(jpg)) {}
    void Commit() override {
      host.log.push_back("Commit " + FileNameOf(png));
      std::ofstream(jpg) << bytes;
    }
    AheadHost& host;
    std::string bytes, png, jpg;
  };
};

class AheadRunTest : public RunTest {
 protected:
  // Small real pages, whose headers the memory budget reads: several are prepared at once.
  void SetUp() override {
    RunTest::SetUp();
    std::filesystem::create_directories(dir_ / "pages");
    for (int page = 1; page <= 5; ++page) {
      testing::WritePng(dir_ / ("pages/" + std::to_string(page) + ".png"), testing::PngKind::kGray,
                        page, 1, [](int, int) { return testing::Rgb{}; });
    }
    settings_.renderer_path = CopyingRenderer(dir_);
    settings_.jobs = 3;
    ahead_.folder = host_.folder;
    ahead_.format = "JPG";
    ahead_.files.Add(dir_.Write("pdfs/a.pdf", ""));
  }
  bool OutputHas(const std::string& name) const { return FileExists(ahead_.folder + "/" + name); }
  AheadHost ahead_;
};

TEST_F(AheadRunTest, PagesPreparedAheadAreCommittedInPageOrder) {
  batch::Run(ahead_, settings_);
  EXPECT_EQ(ahead_.Visible(), (Log{"Position 0", "Maximum 0", "Status 正在转换 a.pdf", "Position 0",
                                   "Status 已完成！", "Position 0"}));
  EXPECT_EQ(Only(ahead_.log, {"Commit"}), (Log{"Commit a_1.png", "Commit a_2.png", "Commit a_3.png",
                                               "Commit a_4.png", "Commit a_5.png"}));
  EXPECT_EQ(ahead_.most_preparing, 3);
  for (int page = 1; page <= 5; ++page) {
    EXPECT_TRUE(OutputHas("a_" + std::to_string(page) + ".jpg"));
    EXPECT_FALSE(OutputHas("a_" + std::to_string(page) + ".png"));
  }
}

TEST_F(AheadRunTest, AFailureLeavesThatPageAndEveryLaterOneAsTheSequentialLoopWould) {
  ahead_.failing_page = "a_2.png";
  dir_.Write("out/a_3.jpg", "older");
  EXPECT_THROW(batch::Run(ahead_, settings_), Exception);
  EXPECT_TRUE(OutputHas("a_1.jpg"));
  EXPECT_FALSE(OutputHas("a_1.png"));
  for (const char* page : {"a_2.png", "a_3.png", "a_4.png", "a_5.png"})
    EXPECT_TRUE(OutputHas(page));
  EXPECT_FALSE(OutputHas("a_2.jpg") || OutputHas("a_4.jpg"));
  EXPECT_EQ(ReadFileText(ahead_.folder + "/a_3.jpg"), "older");  // prepared, never written
}

TEST_F(AheadRunTest, NothingIsPreparedBeyondTheWindowOrTheLastPage) {
  settings_.max_pages = 4;
  batch::Run(ahead_, settings_);
  std::sort(ahead_.prepared.begin(), ahead_.prepared.end());
  EXPECT_EQ(ahead_.prepared,
            (std::vector<std::string>{"a_1.png", "a_2.png", "a_3.png", "a_4.png"}));
  EXPECT_TRUE(OutputHas("a_5.png"));
}

// A locked PDF through the program's own renderer: the host is asked until it gives the right
// password or skips; a skip ends that PDF as a failed one and the run goes on.
struct PasswordCase {
  const char* name;
  std::deque<std::optional<std::string>> answers;
  Log asked;
  bool converted;
};

const PasswordCase kPasswordCases[] = {
    {"RightAtOnce", {"openpassword"}, {"AskPassword locked.pdf"}, true},
    {"WrongThenRight",
     {"wrong", "", "openpassword"},
     {"AskPassword locked.pdf", "AskPassword locked.pdf again", "AskPassword locked.pdf again"},
     true},
    {"SkippedAtOnce", {std::nullopt}, {"AskPassword locked.pdf"}, false},
    {"WrongThenSkipped",
     {"wrong", std::nullopt},
     {"AskPassword locked.pdf", "AskPassword locked.pdf again"},
     false},
};

class LockedPdfRunTest : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(LockedPdfRunTest, AsksUntilItOpensOrIsSkipped) {
  const PasswordCase& c = GetParam();
  TempDir dir;
  RecordingHost host;
  host.folder = dir / "out";
  host.format = "JPG";
  host.resolution = "10";
  host.passwords = c.answers;
  const std::string locked = dir / "locked.pdf";
  std::filesystem::copy_file(std::string(QUILLAMAR_TESTDATA) + "/pdfs/encrypted_user_password.pdf",
                             locked);
  host.files.Add(locked);
  RunSettings settings;
  settings.renderer_path = std::string(QUILLAMAR_BIN_DIR) + "/lib.dll";
  const RunResult result = batch::Run(host, settings);
  EXPECT_EQ(result.outcome, RunOutcome::kCompleted);
  EXPECT_EQ(result.pdfs_failed, c.converted ? 0 : 1);
  const Log visible = host.Visible();
  EXPECT_EQ(Only(visible, {"AskPassword"}), c.asked);
  EXPECT_EQ(FileExists(host.folder + "/locked_1.jpg"), c.converted);
  const std::string failure =
      "Message 转换失败：locked.pdf\n" + locked + ": protected by a password";
  EXPECT_EQ(std::count(visible.begin(), visible.end(), failure), c.converted ? 0 : 1);
}

QUILLAMAR_TABLE_TESTS(Run, LockedPdfRunTest, kPasswordCases);

struct ClashCase {
  const char* name;
  TStringList pdfs;
  std::vector<std::string> clashes;
};

const ClashCase kClashCases[] = {
    {"None", {"/a/x.pdf", "/a/y.pdf"}, {}},
    {"SameNameInTwoFolders", {"/a/x.pdf", "/b/x.pdf"}, {"x"}},
    // x clashes first, but y appeared first
    {"EachNameOnceInTheOrderOfFirstAppearance",
     {"/a/y.pdf", "/a/x.pdf", "/b/x.pdf", "/c/y.pdf", "/d/x.pdf"},
     {"y", "x"}},
    {"ExtensionsAside", {"/a/x.pdf", "/a/x.PDF"}, {"x"}},
    {"CaseCounts", {"/a/X.pdf", "/a/x.pdf"}, {}},
};

class FindNameClashesTest : public ::testing::TestWithParam<ClashCase> {};

TEST_P(FindNameClashesTest, ListsTheBaseNamesOfMoreThanOnePdf) {
  EXPECT_EQ(FindNameClashes(GetParam().pdfs), GetParam().clashes);
}

QUILLAMAR_TABLE_TESTS(Batch, FindNameClashesTest, kClashCases);

}  // namespace
}  // namespace quillamar::batch
