// The real renderer streaming a long PDF into JPEG: few intermediate files at any time, and page
// progress up to the last page.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "batch/batch.h"
#include "batch/recording_host.h"
#include "framework/paths.h"
#include "support/pdf_pages.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quillamar::batch {
namespace {

using testing::TempDir;

// The files in the folder whose extension is (or, with other, is not) the one given.
int FilesIn(const std::string& folder, const char* extension, bool other = false) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    count += (entry.path().extension() == extension) != other;
  }
  return count;
}

// Converts for real and counts, at every commit, the files in the folder that are not JPEGs
// (page PNGs and the renderer's temporaries).
class CountingHost : public ConvertingHost {
 public:
  CountingHost(std::string folder, std::string pdf)
      : ConvertingHost(std::move(folder), TStringList{std::move(pdf)}, "JPG", "100") {}
  void ShowMessage(const std::string& text) override { ADD_FAILURE() << text; }
  void PageProgress(int done, int total) override {
    progress.emplace_back(done, total);
    most_intermediates = std::max(most_intermediates, FilesIn(folder_, ".jpg", /*other=*/true));
  }

  std::vector<std::pair<int, int>> progress;
  int most_intermediates = 0;
};

std::string WriteTextPdf(const TempDir& dir, int page_count) {
  std::vector<testing::TestPage> pages(page_count);
  for (int i = 0; i < page_count; ++i) {
    pages[i].content = testing::ShowText(72, 700, 24, "page " + std::to_string(i + 1));
  }
  return dir.Write("long.pdf", testing::MakePdf(pages));
}

std::string RendererPath() { return std::string(QUILLAMAR_BIN_DIR) + "/lib.dll"; }

// The real renderer on a text PDF of the pages given, into dir/out, two workers, paced by 2 pages.
renderer::RendererRequest PacedRequest(const TempDir& dir, int pages) {
  ForceFolders(dir / "out");
  renderer::RendererRequest request;
  request.path = RendererPath();
  request.arguments = renderer::RendererArguments(batch::OutputPattern(dir / "out", "p"), "72",
                                                  WriteTextPdf(dir, pages));
  request.page_channel = true;
  request.workers = 2;
  request.page_window = 2;
  return request;
}

TEST(StreamTest, TheRendererAnnouncesItsPagesAndWaitsOnItsWindow) {
  TempDir dir;
  const auto process = renderer::RendererProcess::Start(PacedRequest(dir, 5));
  ASSERT_TRUE(process);
  using Kind = renderer::PageEvent::Kind;
  const renderer::PageEvent count = process->NextEvent();
  EXPECT_EQ(count.kind, Kind::kPageCount);
  EXPECT_EQ(count.number, 5);
  std::set<int> announced;
  for (int i = 0; i < 2; ++i) {
    const renderer::PageEvent page = process->NextEvent();
    ASSERT_EQ(page.kind, Kind::kPageDone);
    EXPECT_TRUE(FileExists(batch::PageFilePath(dir / "out", "p", page.number, ".png")));
    announced.insert(page.number);
  }
  EXPECT_EQ(announced, (std::set<int>{1, 2}));
  // Nothing consumed: page 3 may not start.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(FilesIn(dir / "out", ".png"), 2);
  for (int consumed = 1; consumed <= 3; ++consumed) {
    process->Consumed(consumed);
    const renderer::PageEvent page = process->NextEvent();
    ASSERT_EQ(page.kind, Kind::kPageDone);
    EXPECT_EQ(page.number, consumed + 2);
  }
  EXPECT_EQ(process->NextEvent().kind, Kind::kEnded);
  EXPECT_EQ(process->Finish().kind, renderer::RenderOutcome::Kind::kSucceeded);
  EXPECT_EQ(FilesIn(dir / "out", ".png"), 5);
}

// The threads of this process's one child, from /proc; 0 when there is none.
int ChildThreads() {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream children(task.path() / "children");
    int pid = 0;
    if (!(children >> pid)) continue;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
  }
  return 0;
}

TEST(StreamTest, ARendererStartsTheWorkersGrantedAtItsNextPage) {
  TempDir dir;
  renderer::RendererRequest request = PacedRequest(dir, 6);
  request.workers_now = 1;
  const auto process = renderer::RendererProcess::Start(request);
  ASSERT_TRUE(process);
  std::set<int> announced;
  const auto next_page = [&] {
    renderer::PageEvent event = process->NextEvent();
    while (event.kind == renderer::PageEvent::Kind::kPageCount) event = process->NextEvent();
    EXPECT_EQ(event.kind, renderer::PageEvent::Kind::kPageDone);
    announced.insert(event.number);
  };
  next_page();
  next_page();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // its one worker waits on page 3
  const int threads = ChildThreads();
  ASSERT_GT(threads, 0);
  process->GrantWorkers(2);
  process->Consumed(1);
  next_page();  // page 3; the new worker waits on page 4, as the first one on page 5
  for (int tries = 0; tries < 100 && ChildThreads() == threads; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ChildThreads(), threads + 1);
  for (int page = 2; page <= 4; ++page) {
    process->Consumed(page);
    next_page();
  }
  EXPECT_EQ(announced, (std::set<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(process->Finish().kind, renderer::RenderOutcome::Kind::kSucceeded);
}

// The run leaves page 1's file to the renderer, which writes page 3 over it: the same file, cut to
// the page's length, with the bytes a new file would have.
TEST(StreamTest, ARendererWritesALaterPageOverASpare) {
  TempDir dir;
  const auto process = renderer::RendererProcess::Start(PacedRequest(dir, 3));
  ASSERT_TRUE(process);
  for (int heard = 0; heard < 3; ++heard) process->NextEvent();  // the count, pages 1 and 2
  const std::string spare = batch::PageFilePath(dir / "out", "p", 1, ".png");
  std::ofstream(spare, std::ios::app) << std::string(100000, 'x');  // longer than any page here
  struct stat spare_file {};
  ASSERT_EQ(::stat(spare.c_str(), &spare_file), 0);
  process->OfferSpare(1);
  process->Consumed(1);
  process->Consumed(2);
  EXPECT_EQ(process->Finish().kind, renderer::RenderOutcome::Kind::kSucceeded);
  const std::string page = batch::PageFilePath(dir / "out", "p", 3, ".png");
  struct stat page_file {};
  ASSERT_EQ(::stat(page.c_str(), &page_file), 0);
  EXPECT_EQ(page_file.st_ino, spare_file.st_ino);
  EXPECT_FALSE(FileExists(spare));

  renderer::RendererRequest fresh = PacedRequest(dir, 3);
  fresh.arguments =
      renderer::RendererArguments(batch::OutputPattern(dir / "fresh", "p"), "72", dir / "long.pdf");
  ForceFolders(dir / "fresh");
  ASSERT_EQ(renderer::RunRenderer(fresh).kind, renderer::RenderOutcome::Kind::kSucceeded);
  EXPECT_EQ(testing::ReadFileText(page),
            testing::ReadFileText(batch::PageFilePath(dir / "fresh", "p", 3, ".png")));
}

TEST(StreamTest, ALongPdfNeverHasMoreThanAFewIntermediateFiles) {
  constexpr int kPages = 60;
  TempDir dir;
  const std::string pdf = WriteTextPdf(dir, kPages);
  CountingHost host(dir / "out", pdf);
  RunSettings settings;
  settings.renderer_path = RendererPath();
  // A pacing window of 4 pages: at most 4 ahead of the page being committed, and 2 spares.
  settings.jobs = 2;

  EXPECT_EQ(batch::Run(host, settings).outcome, RunOutcome::kCompleted);
  EXPECT_LE(host.most_intermediates, 4 + 2);
  for (int page = 1; page <= kPages; ++page) {
    const std::string name = dir / ("out/long_" + std::to_string(page));
    EXPECT_TRUE(FileExists(name + ".jpg") && !FileExists(name + ".png")) << page;
  }
  ASSERT_EQ(host.progress.size(), kPages + 1u);
  for (int done = 0; done <= kPages; ++done) {
    EXPECT_EQ(host.progress[done], std::make_pair(done, kPages));
  }
}

// A huge page is announced while it is written, and the run reads it as it grows: the JPEG is
// that of the complete page file.
TEST(StreamTest, AHugePageIsReadWhileItGrowsIntoTheSameJpeg) {
  TempDir dir;
  testing::TestPage page;
  page.content =
      testing::FillRect(72, 72, 300, 200, 200, 40, 30) + testing::ShowText(72, 700, 24, "huge");
  const std::string pdf = dir.Write("long.pdf", testing::MakePdf({page}));
  constexpr char kHuge[] = "620";  // 5126 x 7250 pixels, above contract::kGrowingPagePixels
  ForceFolders(dir / "alone");
  renderer::RendererRequest request;
  request.path = RendererPath();
  request.arguments =
      renderer::RendererArguments(batch::OutputPattern(dir / "alone", "long"), kHuge, pdf);
  request.intermediate_pages = true;
  request.page_channel = true;
  const auto process = renderer::RendererProcess::Start(request);
  ASSERT_TRUE(process);
  using Kind = renderer::PageEvent::Kind;
  EXPECT_EQ(process->NextEvent().kind, Kind::kPageCount);
  const renderer::PageEvent growing = process->NextEvent();
  EXPECT_EQ(growing.kind, Kind::kPageGrowing);
  EXPECT_EQ(growing.number, 1);
  const std::string temporary = dir / ("alone/" + process->GrowingFileName(growing.file));
  const renderer::PageEvent done = process->NextEvent();
  EXPECT_EQ(done.kind, Kind::kPageDone);
  EXPECT_EQ(process->Finish().kind, renderer::RenderOutcome::Kind::kSucceeded);
  EXPECT_FALSE(FileExists(temporary));
  const std::string png = batch::PageFilePath(dir / "alone", "long", 1, ".png");
  EXPECT_LT(std::filesystem::file_size(png), 5126u * 7250u * 3u / 20u);  // flat: compressed
  ConvertPngToJpg(png, dir / "alone/long_1.jpg");

  CountingHost host(dir / "out", pdf);
  host.resolution = kHuge;
  RunSettings settings;
  settings.renderer_path = RendererPath();
  settings.jobs = 2;
  EXPECT_EQ(batch::Run(host, settings).outcome, RunOutcome::kCompleted);
  EXPECT_EQ(testing::ReadFileText(dir / "out/long_1.jpg"),
            testing::ReadFileText(dir / "alone/long_1.jpg"));
}

}  // namespace
}  // namespace quillamar::batch
