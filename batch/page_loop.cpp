// The page loop of one PDF: in place, or staged ahead of its turn and published at it.
#include "batch/page_loop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <limits>

#include "batch/staging.h"
#include "framework/exceptions.h"
#include "framework/paths.h"
#include "framework/streams.h"
#include "png/png_object.h"

namespace quillamar::batch {
namespace {

constexpr long long kReencodeBudget = contract::kMemoryBudgetBytes / 2;

// Committed pages flushed together: at most half the pacing window, so that the renderer, which
// counts the pages whose PNGs are still there, never waits on a group that waits for it.
std::size_t FlushGroupFor(int jobs) {
  return static_cast<std::size_t>(std::max(1, PageWindowFor(jobs) / 2));
}

// The pixels of a page PNG from its header; 0 when that cannot be read. Only regular files are
// opened, and never in a way that could block.
long long PagePixels(const std::string& png_path) {
  const auto size = png::PeekImageSize(png_path);
  if (!size) return 0;
  // In 64 bits unsigned, which two 32-bit numbers cannot overflow.
  const std::uint64_t pixels = std::uint64_t{size->first} * size->second;
  return static_cast<long long>(
      std::min<std::uint64_t>(pixels, std::numeric_limits<long long>::max()));
}

}  // namespace

PageLoop::PageLoop(RunHost& host, PageFolders folders, const RunSettings& settings,
                   renderer::RendererProcess& process)
    : host_(host),
      folders_(std::move(folders)),
      settings_(settings),
      process_(process),
      mode_(folders_.work == folders_.output ? Mode::kInPlace : Mode::kStaged),
      started_(std::filesystem::file_time_type::clock::now()),
      committed_(CommittedPages::kDefaultMaxAge, FlushGroupFor(JobsOf(settings)),
                 [this](const std::string& png) { LetGoOfFlushedPng(png); }),
      in_flight_(static_cast<std::size_t>(JobsOf(settings)), kReencodeBudget) {}

PageLoop::~PageLoop() {
  DiscardInFlight();
  RendererEnded();
}

void PageLoop::SetTotal(int pages) {
  total_ = pages;
  pacing_.SetTotal(pages);
  ReportProgress();
}

void PageLoop::Rendered(int page) {
  pacing_.Heard(page);
  ++done_;
  if (mode_ == Mode::kStaged) kept_.Keep({StagedEvents::Event::Kind::kRendered, page, 0});
  if (mode_ == Mode::kPublishing) MoveRenderedPage(page);
  ReportProgress();
}

void PageLoop::Announced(int page) {
  pacing_.Heard(page);
  if (PageInFlight* growing = in_flight_.Growing(page)) {
    growing->growing->MarkComplete();
  } else if (Takes(page, false)) {
    announced_.insert(page);
  } else {
    Consume(page);
  }
}

void PageLoop::Failed(int page) {
  pacing_.Heard(page);
  if (page < 1 || (broken_at_ != 0 && page >= broken_at_)) return;
  broken_at_ = page;
  LetGoAnnouncedFrom(page);
  DiscardInFlightFrom(page);
}

bool PageLoop::Take(const renderer::PageEvent& event, bool reencode, Commits commits) {
  using Kind = renderer::PageEvent::Kind;
  switch (event.kind) {
    case Kind::kPageCount:
      SetTotal(event.number);
      break;
    case Kind::kPageDone:
      if (!reencode) {
        Rendered(event.number);
        break;
      }
      Announced(event.number);
      return commits == Commits::kWaiting ? CommitAnnounced() : CommitReady();
    case Kind::kPageFailed:
      if (reencode) Failed(event.number);
      break;
    case Kind::kPageGrowing:
      if (reencode) Growing(event.number, process_.GrowingFileName(event.file));
      break;
    default:
      break;
  }
  return true;
}

void PageLoop::Growing(int page, const std::string& file_name) {
  // Counted as the whole budget: nothing else is prepared beside it.
  if (!in_flight_.Ahead() || !in_flight_.Empty() || page != next_prepare_ || !Takes(page, false)) {
    return;
  }
  std::shared_ptr<GrowingPage> growing = GrowingPage::Open(folders_.work + "/" + file_name);
  if (!growing) return;
  std::string png = WorkPath(page, ".png");
  std::string jpg = WorkPath(page, ".jpg");
  RunHost& host = host_;
  // The one fallback of the page path: a page whose reading while it grew failed is re-encoded
  // the host's way once complete, which meets whatever went wrong at its place. A page that will
  // never be complete is discarded by the loop, never committed.
  auto prepare = [&host, growing, png, jpg]() -> std::unique_ptr<PreparedPage> {
    try {
      return PrepareStreamedPngToJpg(*growing->Stream(), jpg);
    } catch (...) {
    }
    if (!growing->AwaitSettled()) throw EAbort("page abandoned");
    return host.PrepareReencode(png, jpg);
  };
  in_flight_.StartGrowing({page, png, jpg, 0, {}, growing}, prepare);
  ++next_prepare_;
}

int PageLoop::QuietTimeout() const {
  const auto left = committed_.TimeLeft();
  return unflushed_.empty() || left.count() < 0 ? -1 : static_cast<int>(left.count());
}

void PageLoop::FlushCommitted() {
  committed_.Flush();
  ReleaseFlushedPages();
}

int PageLoop::PagesRenderableNow() const { return pacing_.RenderableNow(process_.PageWindow()); }

void PageLoop::Consume(int page) {
  pacing_.Consumed(page);
  process_.Consumed(page);
}

// A consumed page's PNG: left to the renderer as a spare, or deleted.
void PageLoop::LetGoOfPng(int page, const std::string& png) noexcept {
  try {
    if (spares_.MayOffer(pacing_.Unheard()) && FileExists(png)) {
      spares_.Offered(page, png);
      process_.OfferSpare(page);
      return;
    }
  } catch (...) {
    // Out of memory: deleted, as it always may be.
  }
  DeleteFile(png);
}

// A flushed PNG of the folder worked in is a page of the renderer's; any other (a PNG of an
// earlier run beside a page published in place) simply goes.
void PageLoop::LetGoOfFlushedPng(const std::string& png) {
  for (const int page : unflushed_) {
    if (WorkPath(page, ".png") == png) return LetGoOfPng(page, png);
  }
  DeleteFile(png);
}

void PageLoop::RendererEnded() noexcept {
  // A page still growing will never be complete: from there on the pages are taken by their
  // files, as after any end.
  if (const int growing = in_flight_.FirstIncompleteGrowing()) DiscardInFlightFrom(growing);
  spares_.Close();
}

void PageLoop::Publish() {
  if (mode_ != Mode::kStaged) return;
  mode_ = Mode::kPublishing;
  kept_.Replay([this](const StagedEvents::Event& kept) {
    switch (kept.kind) {
      case StagedEvents::Event::Kind::kProgress:
        host_.PageProgress(kept.first, kept.second);
        break;
      case StagedEvents::Event::Kind::kCommitted:
        PublishPage(kept.first);
        break;
      case StagedEvents::Event::Kind::kRendered:
        MoveRenderedPage(kept.first);
        break;
    }
  });
}

void PageLoop::RemoveUnconvertedPngs() noexcept {
  // The file system stamps files with a clock that may lag by a tick.
  constexpr std::chrono::milliseconds kStampLag{50};
  DiscardInFlight();
  try {
    for (const int page : PageFilesIn(folders_.work, folders_.base_name, ".png")) {
      const std::string png = WorkPath(page, ".png");
      std::error_code error;
      const auto written = std::filesystem::last_write_time(png, error);
      if (page >= next_commit_ && !error && written >= started_ - kStampLag) DeleteFile(png);
    }
  } catch (...) {
    // Out of memory for the names: the pages stay, as they would have before.
  }
}

bool PageLoop::LeaveStaging() noexcept {
  RendererEnded();
  if (mode_ == Mode::kInPlace) return false;
  const bool held = held_at_ != 0;
  DiscardInFlight();
  try {
    for (const int page : PageFilesIn(folders_.work, folders_.base_name, ".png")) {
      MoveFile(WorkPath(page, ".png"), OutputPath(page, ".png"));
    }
  } catch (...) {
    // Out of memory for the names: the pages go with the staging folder, as after a crash.
  }
  folders_.work = folders_.output;
  mode_ = Mode::kInPlace;
  held_at_ = 0;
  return held;
}

bool PageLoop::Takes(int page, bool renderer_ended) const {
  return page <= settings_.max_pages && (held_at_ == 0 || page < held_at_) &&
         (renderer_ended || broken_at_ == 0 || page < broken_at_);
}

std::string PageLoop::WorkPath(int page, const char* extension) const {
  return PageFilePath(folders_.work, folders_.base_name, page, extension);
}

std::string PageLoop::OutputPath(int page, const char* extension) const {
  return PageFilePath(folders_.output, folders_.base_name, page, extension);
}

void PageLoop::ReportProgress() {
  if (total_ <= 0) return;
  if (mode_ == Mode::kStaged) {
    kept_.Keep({StagedEvents::Event::Kind::kProgress, done_, total_});
  } else {
    host_.PageProgress(done_, total_);
  }
}

// The renderer hears of a page only once its PNG is gone, so its pacing counts every intermediate
// file still on the disk.
void PageLoop::ReleaseFlushedPages() {
  for (const int page : unflushed_) Consume(page);
  unflushed_.clear();
}

// Starts preparing the next pages that are there, within the jobs and the memory budget (one page
// always may).
void PageLoop::StartNextPages(bool renderer_ended) {
  while (!in_flight_.Full() && Takes(next_prepare_, renderer_ended)) {
    const int page = next_prepare_;
    if (!renderer_ended && announced_.count(page) == 0) return;
    std::string png = WorkPath(page, ".png");
    if (!FileExists(png)) {
      if (!renderer_ended) Failed(page);  // announced, yet gone: ends the loop here
      return;
    }
    // A header claiming more than the whole budget counts as the whole budget: such a page fails
    // when it is read anyway.
    const long long bytes =
        std::min(PagePixels(png), kReencodeBudget / contract::kReencodeBytesPerPixel) *
        contract::kReencodeBytesPerPixel;
    if (!in_flight_.HasRoomFor(bytes)) return;
    std::string jpg = WorkPath(page, ".jpg");
    RunHost& host = host_;
    in_flight_.Start({page, png, jpg, bytes, {}, nullptr},
                     [&host, png, jpg] { return host.PrepareReencode(png, jpg); });
    announced_.erase(page);
    ++next_prepare_;
  }
}

void PageLoop::WaitServing(bool renderer_ended) {
  if (!serve_) return;
  while (!in_flight_.FrontReady()) {
    serve_(renderer_ended);
    in_flight_.Front().prepared.wait_for(kServePeriod);
  }
}

bool PageLoop::CommitInOrder(bool renderer_ended, bool wait) {
  for (StartNextPages(renderer_ended); !in_flight_.Empty(); StartNextPages(renderer_ended)) {
    const PageInFlight& front = in_flight_.Front();
    // A page read while it grows waits for its announcement, whatever its reading has come to.
    if (front.growing && !front.growing->Complete()) return true;
    if (!wait && !in_flight_.FrontReady()) return true;
    if (wait) WaitServing(renderer_ended);
    PageInFlight page = in_flight_.TakeFront();
    if (mode_ != Mode::kInPlace) {
      // A failure in the staging folder must not show: it is met again in place, once the
      // renderer has ended and the page's file is where the sequential run would read it.
      try {
        page.prepared.get()->Commit();
      } catch (...) {
        Hold(page.page);
        return true;
      }
    } else {
      page.prepared.get()->Commit();
    }
    Committed(page);
    next_commit_ = page.page + 1;
    ++done_;
    ReportProgress();
    if (StopRequested(settings_)) return false;
  }
  return true;
}

// The JPEG is in place (in the folder worked in): its PNG goes once the JPEG has reached the disk,
// and the renderer may go on past it. A staged JPEG waits for its turn; its PNG is only an
// intermediate of ours and goes at once.
void PageLoop::Committed(const PageInFlight& page) {
  switch (mode_) {
    case Mode::kInPlace:
      unflushed_.push_back(page.page);
      if (committed_.Add(page.jpg_path, page.png_path)) ReleaseFlushedPages();
      break;
    case Mode::kStaged:
      LetGoOfPng(page.page, page.png_path);
      Consume(page.page);
      kept_.Keep({StagedEvents::Event::Kind::kCommitted, page.page, 0});
      break;
    case Mode::kPublishing:
      PublishPage(page.page);
      LetGoOfPng(page.page, page.png_path);
      break;
  }
}

// Moves a staged JPEG into place (its own PNG was let go of when it was committed). A PNG of the
// same page from an earlier run goes once the JPEG has reached the disk, as the renderer's own
// would have.
void PageLoop::PublishPage(int page) {
  const std::string jpg = OutputPath(page, ".jpg");
  if (!MoveFile(WorkPath(page, ".jpg"), jpg)) throw CannotCreateFileError(jpg, errno);
  unflushed_.push_back(page);
  if (committed_.Add(jpg, OutputPath(page, ".png"))) ReleaseFlushedPages();
}

void PageLoop::MoveRenderedPage(int page) {
  MoveFile(WorkPath(page, ".png"), OutputPath(page, ".png"));
}

void PageLoop::Hold(int page) {
  held_at_ = page;
  DiscardInFlight();
  LetGoAnnouncedFrom(page);
}

// The announced pages from this one on will not be taken: the renderer need not wait for them.
void PageLoop::LetGoAnnouncedFrom(int page) {
  for (auto it = announced_.lower_bound(page); it != announced_.end();) {
    Consume(*it);
    it = announced_.erase(it);
  }
}

// Waits for the pages being prepared and forgets them: nothing of theirs was written.
void PageLoop::DiscardInFlight() noexcept { DiscardInFlightFrom(next_commit_); }

// The same for the pages from this one on; a page still growing is no longer waited for.
void PageLoop::DiscardInFlightFrom(int page) noexcept {
  in_flight_.DiscardFrom(page);
  next_prepare_ = std::max(next_commit_, std::min(next_prepare_, page));
}

}  // namespace quillamar::batch
