// The conversion run: every chosen PDF through the renderer, then its pages to JPEG if asked.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <future>
#include <limits>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include "batch/batch.h"
#include "batch/committed_pages.h"
#include "framework/paths.h"

namespace quillamar::batch {
namespace {

using renderer::RenderOutcome;

constexpr char kJpgFormat[] = "JPG";

bool StopRequested(const RunSettings& settings) {
  return settings.stop != nullptr && settings.stop->Requested();
}

int JobsOf(const RunSettings& settings) {
  return settings.jobs > 0 ? settings.jobs : DefaultJobs();
}

// The renderer may run this many pages ahead of the page the run commits: enough for its workers
// and the pages prepared ahead, few enough to keep the intermediate files of a PDF to a handful.
int PageWindowFor(int jobs) { return std::clamp(2 * jobs, 2, contract::kMaxPageWindow); }

// Committed pages flushed together: at most half the pacing window, so that the renderer, which
// counts the pages whose PNGs are still there, never waits on a group that waits for it.
std::size_t FlushGroupFor(int jobs) {
  return static_cast<std::size_t>(std::max(1, PageWindowFor(jobs) / 2));
}

// The pixels of a page PNG from its header; 0 when that cannot be read. Only regular files are
// opened, and never in a way that could block.
long long PagePixels(const std::string& png_path) {
  const int fd = ::open(png_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat info {};
  unsigned char header[24] = {};
  const bool read_whole = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                          ::pread(fd, header, sizeof header, 0) == sizeof header;
  ::close(fd);
  if (!read_whole) return 0;
  const auto big_endian = [&](int at) {
    return (std::uint32_t{header[at]} << 24) | (std::uint32_t{header[at + 1]} << 16) |
           (std::uint32_t{header[at + 2]} << 8) | std::uint32_t{header[at + 3]};
  };
  // IHDR width and height: in 64 bits unsigned, which two 32-bit numbers cannot overflow.
  const std::uint64_t pixels = std::uint64_t{big_endian(16)} * big_endian(20);
  return static_cast<long long>(
      std::min<std::uint64_t>(pixels, std::numeric_limits<long long>::max()));
}

// A page on its way: being prepared (maybe on a worker thread), committed at its turn.
struct PageInFlight {
  int page = 0;
  std::string png_path;
  std::string jpg_path;
  long long bytes = 0;  // what preparing it may hold, by its size
  std::future<std::unique_ptr<PreparedPage>> prepared;
};

// The pages of one PDF, from the renderer's page files to JPEG files. Pages are committed strictly
// in page order, 1, 2, … until the first missing number, so a failure at page k leaves page k and
// every later page as PNG, untouched. While the renderer runs, a page is taken once it has been
// announced; once it has ended, once its file exists. Later pages may be prepared ahead, as many
// as the jobs and the run's share of the memory budget allow.
class PageLoop {
 public:
  PageLoop(RunHost& host, std::string base_name, const RunSettings& settings,
           renderer::RendererProcess& process)
      : host_(host),
        base_name_(std::move(base_name)),
        settings_(settings),
        process_(process),
        window_(static_cast<std::size_t>(JobsOf(settings))),
        launch_(window_ > 1 ? std::launch::async : std::launch::deferred),
        committed_(CommittedPages::kDefaultMaxAge, FlushGroupFor(JobsOf(settings))) {}

  void SetTotal(int pages) {
    total_ = pages;
    ReportProgress();
  }
  // A page announced while pages stay PNG: only counted.
  void Rendered() {
    ++done_;
    ReportProgress();
  }
  // Page's file is complete. A page the loop will never take is let go at once, so that the
  // renderer is not held back by it.
  void Announced(int page) {
    if (Takes(page, false)) {
      announced_.insert(page);
    } else {
      process_.Consumed(page);
    }
  }
  // Page will have no file: the loop ends there, as it would at a missing number.
  void Failed(int page) {
    if (page < 1 || (broken_at_ != 0 && page >= broken_at_)) return;
    broken_at_ = page;
    for (auto it = announced_.lower_bound(page); it != announced_.end();) {
      process_.Consumed(*it);
      it = announced_.erase(it);
    }
  }
  // Commits the announced pages that are next in order; false when a stop ended it.
  bool CommitAnnounced() { return CommitInOrder(false); }
  // After the renderer has ended: the remaining pages until the first missing number.
  bool CommitRemaining() { return CommitInOrder(true); }

 private:
  bool Takes(int page, bool renderer_ended) const {
    return page <= settings_.max_pages && (renderer_ended || broken_at_ == 0 || page < broken_at_);
  }
  std::string PagePath(int page, const char* extension) const {
    return renderer::PageFilePath(host_.OutputFolderText(), base_name_, page, extension);
  }
  void ReportProgress() {
    if (total_ > 0) host_.PageProgress(done_, total_);
  }
  // The renderer hears of a page only once its PNG is gone, so its pacing counts every
  // intermediate file still on the disk.
  void ReleaseFlushedPages() {
    for (const int page : unflushed_) process_.Consumed(page);
    unflushed_.clear();
  }

 public:
  // How long the run may wait for the renderer before the committed pages must be flushed: no
  // longer than a group may age, and not at all while none wait.
  int QuietTimeout() const {
    return unflushed_.empty() ? -1 : static_cast<int>(CommittedPages::kDefaultMaxAge.count());
  }
  // The renderer has been quiet: the committed pages reach the disk now, and the renderer, which
  // may be waiting for them, hears of them.
  void FlushCommitted() {
    committed_.Flush();
    ReleaseFlushedPages();
  }

 private:
  // Starts preparing the next pages that are there, within the jobs and the memory budget (one
  // page always may).
  void StartNextPages(bool renderer_ended) {
    while (in_flight_.size() < window_ && Takes(next_prepare_, renderer_ended)) {
      const int page = next_prepare_;
      if (!renderer_ended && announced_.count(page) == 0) return;
      std::string png = PagePath(page, ".png");
      if (!FileExists(png)) {
        if (!renderer_ended) Failed(page);  // announced, yet gone: ends the loop here
        return;
      }
      // A header claiming more than the whole budget counts as the whole budget: such a page
      // fails when it is read anyway.
      const long long bytes =
          std::min(PagePixels(png), kReencodeBudget / contract::kReencodeBytesPerPixel) *
          contract::kReencodeBytesPerPixel;
      if (!in_flight_.empty() && bytes_in_flight_ + bytes > kReencodeBudget) return;
      std::string jpg = PagePath(page, ".jpg");
      RunHost& host = host_;
      in_flight_.push_back({page, png, jpg, bytes, std::async(launch_, [&host, png, jpg] {
                              return host.PrepareReencode(png, jpg);
                            })});
      bytes_in_flight_ += bytes;
      announced_.erase(page);
      ++next_prepare_;
    }
  }

  bool CommitInOrder(bool renderer_ended) {
    for (StartNextPages(renderer_ended); !in_flight_.empty(); StartNextPages(renderer_ended)) {
      PageInFlight page = std::move(in_flight_.front());
      in_flight_.pop_front();
      bytes_in_flight_ -= page.bytes;
      page.prepared.get()->Commit();
      // The JPEG is in place: its PNG goes once the JPEG has reached the disk, and the renderer
      // may go on past it.
      unflushed_.push_back(page.page);
      if (committed_.Add(page.jpg_path, page.png_path)) ReleaseFlushedPages();
      ++done_;
      ReportProgress();
      if (StopRequested(settings_)) return false;
    }
    return true;
  }

  static constexpr long long kReencodeBudget = contract::kMemoryBudgetBytes / 2;

  RunHost& host_;
  const std::string base_name_;
  const RunSettings& settings_;
  renderer::RendererProcess& process_;
  const std::size_t window_;
  const std::launch launch_;
  std::set<int> announced_;  // announced, not yet being prepared
  int broken_at_ = 0;        // the page where the announced sequence ends; 0 while it does not
  int next_prepare_ = 1;
  long long bytes_in_flight_ = 0;
  int total_ = 0;
  int done_ = 0;
  std::vector<int> unflushed_;  // committed, their PNGs not yet deleted nor the renderer told
  CommittedPages committed_;    // flushed, and their PNGs deleted, at the latest on the end
  std::deque<PageInFlight> in_flight_;  // last: its futures are waited for before the rest goes
};

// Follows the renderer's announcements until it has nothing more to say, committing pages as they
// come when they are to be JPEG. False when a stop ended it. An exception stops the renderer and
// waits for it before it leaves.
bool FollowRenderer(renderer::RendererProcess& process, PageLoop& pages, bool reencode) {
  using Kind = renderer::PageEvent::Kind;
  try {
    for (;;) {
      const renderer::PageEvent event = process.NextEvent(pages.QuietTimeout());
      switch (event.kind) {
        case Kind::kQuiet:
          pages.FlushCommitted();
          break;
        case Kind::kPageCount:
          pages.SetTotal(event.number);
          break;
        case Kind::kPageDone:
          if (!reencode) {
            pages.Rendered();
            break;
          }
          pages.Announced(event.number);
          if (!pages.CommitAnnounced()) return false;
          break;
        case Kind::kPageFailed:
          if (reencode) pages.Failed(event.number);
          break;
        case Kind::kEnded:
          return true;
        case Kind::kStopRequested:
          return false;
      }
    }
  } catch (...) {
    process.Stop();
    process.Finish();
    throw;
  }
}

renderer::RendererRequest RendererRequestFor(RunHost& host, const std::string& renderer_path,
                                             const std::string& pdf, const std::string& base_name,
                                             const RunSettings& settings, bool reencode) {
  const std::string folder = host.OutputFolderText();
  const std::string resolution = host.ResolutionText();
  renderer::RendererRequest request;
  request.path = renderer_path;
  request.arguments = renderer::RendererArguments(folder, base_name, resolution, pdf);
  request.intermediate_pages = reencode;
  request.stop = settings.stop;
  request.page_channel = true;
  request.workers = JobsOf(settings);
  if (reencode) request.page_window = PageWindowFor(request.workers);
  return request;
}

enum class PdfEnd { kRendered, kNotStarted, kStopped };

bool NeedsPassword(const RenderOutcome& outcome) {
  return outcome.kind == RenderOutcome::Kind::kFailed &&
         outcome.exit_status == renderer::kExitNeedsPassword;
}

// One renderer process for the PDF with its pages followed as they come. The page loop outlives
// the process: after the end it takes the pages that are left.
struct RenderedPdf {
  std::unique_ptr<renderer::RendererProcess> process;  // null: it could not be started
  std::unique_ptr<PageLoop> pages;
  bool followed = false;  // false: a stop ended it
  RenderOutcome outcome;
};

RenderedPdf RenderFollowing(RunHost& host, const std::string& renderer_path, const std::string& pdf,
                            const std::string& base_name, const RunSettings& settings,
                            bool reencode, std::optional<std::string> password) {
  renderer::RendererRequest request =
      RendererRequestFor(host, renderer_path, pdf, base_name, settings, reencode);
  request.password = std::move(password);
  RenderedPdf rendered;
  rendered.process = renderer::RendererProcess::Start(request);
  if (!rendered.process) return rendered;
  rendered.pages = std::make_unique<PageLoop>(host, base_name, settings, *rendered.process);
  rendered.followed = FollowRenderer(*rendered.process, *rendered.pages, reencode);
  rendered.outcome = rendered.process->Finish();
  return rendered;
}

// Renders the PDF; while it is locked, asks the host for a password and renders again with the
// answer, until it opens, the host skips it or a stop comes.
RenderedPdf RenderUnlocking(RunHost& host, const std::string& renderer_path, const std::string& pdf,
                            const std::string& base_name, const RunSettings& settings,
                            bool reencode) {
  RenderedPdf rendered =
      RenderFollowing(host, renderer_path, pdf, base_name, settings, reencode, std::nullopt);
  for (bool retry = false; rendered.process && rendered.followed && NeedsPassword(rendered.outcome);
       retry = true) {
    if (StopRequested(settings)) {
      rendered.followed = false;
      break;
    }
    std::optional<std::string> password = host.AskPassword(pdf, retry);
    if (!password) break;
    rendered = RenderFollowing(host, renderer_path, pdf, base_name, settings, reencode,
                               std::move(password));
  }
  return rendered;
}

// One PDF: status, renderer, pages, and the message for a renderer that failed; the report says
// how it ended.
PdfEnd ConvertStartedPdf(RunHost& host, const std::string& renderer_path, const std::string& pdf,
                         const RunSettings& settings, RunResult& result, PdfReport& report) {
  host.SetStatusText(kStatusConverting + FileNameOf(pdf));
  host.RepaintNow();
  const std::string base_name = WithoutExtension(FileNameOf(pdf));
  // Pages are re-encoded while the renderer runs when the format asks for it now; whatever is
  // left is decided after it has ended, as always.
  const bool reencode = host.FormatText() == kJpgFormat;
  const RenderedPdf rendered =
      RenderUnlocking(host, renderer_path, pdf, base_name, settings, reencode);
  if (!rendered.process) {
    report.outcome = PdfReport::Outcome::kNotStarted;
    host.ShowMessage(kRendererStartError);
    ++result.pdfs_not_started;
    return PdfEnd::kNotStarted;
  }
  const RenderOutcome& outcome = rendered.outcome;
  report.outcome = PdfReport::Outcome::kStopped;
  if (!rendered.followed || outcome.kind == RenderOutcome::Kind::kStopped) return PdfEnd::kStopped;
  for (const std::string& warning : outcome.warnings) host.ReportWarning(warning);
  // Pages a failing renderer did write are still converted.
  if (host.FormatText() == kJpgFormat && !rendered.pages->CommitRemaining()) {
    return PdfEnd::kStopped;
  }
  report.outcome = PdfReport::Outcome::kConverted;
  if (outcome.kind == RenderOutcome::Kind::kFailed) {
    report.outcome = PdfReport::Outcome::kFailed;
    report.error_line = outcome.error_line;
    host.ShowMessage(kRendererFailedPrefix + FileNameOf(pdf) + "\n" + outcome.error_line);
    ++result.pdfs_failed;
  }
  return PdfEnd::kRendered;
}

PdfEnd ConvertPdf(RunHost& host, const std::string& renderer_path, const std::string& pdf,
                  const RunSettings& settings, RunResult& result) {
  PdfReport report{pdf, PdfReport::Outcome::kConverted, {}};
  host.PdfStarted(pdf);
  const PdfEnd end = ConvertStartedPdf(host, renderer_path, pdf, settings, result, report);
  host.PdfFinished(report);
  return end;
}

}  // namespace

int DefaultJobs() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) {
    return CPU_COUNT(&cpus);
  }
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

std::vector<std::string> FindNameClashes(const TStringList& pdfs) {
  // Hashed, since a command line may name hundreds of thousands of PDFs.
  std::unordered_map<std::string, int> seen;  // base name -> PDFs of that name so far
  std::vector<std::string> clashes;
  for (int i = 0; i < pdfs.Count(); ++i) {
    std::string base_name = WithoutExtension(FileNameOf(pdfs[i]));
    if (++seen[base_name] == 2) clashes.push_back(std::move(base_name));
  }
  return clashes;
}

RunResult Run(RunHost& host, const RunSettings& settings) {
  RunResult result;
  if (host.ChosenFilesText().empty()) {
    host.ChooseFiles();
    return result;
  }
  if (host.OutputFolderText().empty()) {
    host.ChooseFolder();
    return result;
  }
  if (!FolderExists(host.OutputFolderText())) ForceFolders(host.OutputFolderText());

  const std::string renderer_path =
      settings.renderer_path.empty() ? renderer::RendererPath() : settings.renderer_path;
  const TStringList pdfs = host.SourceFiles();
  host.SetProgressPosition(0);
  host.SetProgressMaximum(pdfs.Count() - 1);

  for (int i = 0; i < pdfs.Count(); ++i) {
    const PdfEnd end = StopRequested(settings)
                           ? PdfEnd::kStopped
                           : ConvertPdf(host, renderer_path, pdfs[i], settings, result);
    if (end == PdfEnd::kStopped) {
      host.SetStatusText(kStatusStopped);
      host.RepaintNow();
      result.outcome = RunOutcome::kStopped;
      return result;
    }
    // A PDF whose renderer could not start leaves the position where it was.
    if (end == PdfEnd::kRendered) host.SetProgressPosition(i);
  }
  host.SetStatusText(kStatusDone);
  host.SetProgressPosition(0);
  result.outcome = RunOutcome::kCompleted;
  return result;
}

}  // namespace quillamar::batch
