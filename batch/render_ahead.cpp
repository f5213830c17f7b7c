// Starting, following and handing over the renderers of PDFs ahead of their turn.
#include "batch/render_ahead.h"

#include <algorithm>

#include "framework/paths.h"

namespace quillamar::batch {
namespace {

// PDFs rendered ahead at most, running or waiting for their turn.
constexpr std::size_t kMostStaged = 64;

// The PDFs that may be started ahead: not a later one of a base name seen before, whose pages
// would replace the earlier one's and so must wait for that one's turn to end.
std::vector<bool> StartablePdfs(const TStringList& pdfs) {
  const std::vector<int> first = FirstOfEachBaseName(pdfs);
  std::vector<bool> startable;
  for (int i = 0; i < pdfs.Count(); ++i)
    startable.push_back(first[static_cast<std::size_t>(i)] == i);
  return startable;
}

}  // namespace

int StagedPdf::Claim() const {
  if (ended || !process) return 0;
  return std::min(workers, pages->PagesRenderableNow());
}

void StagedPdf::GrantCores(int jobs) {
  if (ended || !process || workers >= jobs) return;
  process->GrantWorkers(jobs);
  workers = jobs;
}

RenderAhead::RenderAhead(RunHost& host, const TStringList& pdfs, const RunSettings& settings,
                         RendererSource renderers)
    : host_(host),
      pdfs_(pdfs),
      settings_(settings),
      renderers_(std::move(renderers)),
      jobs_(JobsOf(settings)) {
  if (jobs_ > 1 && pdfs.Count() > 1) startable_ = StartablePdfs(pdfs);
}

RenderAhead::~RenderAhead() {
  // Every renderer is asked first and waited for afterwards, so that their ends overlap.
  for (const auto& staged : staged_) {
    if (staged->process && !staged->ended) staged->process->Stop();
  }
  for (const auto& staged : staged_) Abandon(*staged);
}

std::unique_ptr<StagedPdf> RenderAhead::TakeTurn(int index) {
  current_ = index;
  started_up_to_ = std::max(started_up_to_, index);
  const auto found = std::find_if(staged_.begin(), staged_.end(),
                                  [&](const auto& staged) { return staged->index == index; });
  if (found == staged_.end()) return nullptr;
  std::unique_ptr<StagedPdf> staged = std::move(*found);
  staged_.erase(found);
  Follow(*staged);
  return staged;
}

void RenderAhead::Serve(int current_claim) {
  if (startable_.empty()) return;
  for (const auto& staged : staged_) {
    Follow(*staged);
    if (staged->pages) staged->pages->CommitReady();
  }
  StartMore(current_claim + Claimed());
}

int RenderAhead::Claimed() const {
  int claimed = 0;
  for (const auto& staged : staged_) claimed += staged->Claim();
  return claimed;
}

bool RenderAhead::Preparing() const {
  return std::any_of(staged_.begin(), staged_.end(), [](const auto& staged) {
    return staged->pages && staged->pages->HasPagesInFlight();
  });
}

std::vector<int> RenderAhead::WakeDescriptors() const {
  std::vector<int> descriptors;
  for (const auto& staged : staged_) {
    if (staged->process && !staged->ended) staged->process->AddWakeDescriptors(descriptors);
  }
  return descriptors;
}

void RenderAhead::DiscardStaged(StagedPdf& staged) noexcept {
  if (staged.process && !staged.ended) staged.process->Stop();
  Abandon(staged);
  RemoveFolderTree(staged.folder);
}

// Takes what the renderer has said so far, without waiting: its pages are committed in the
// staging folder, its end is recorded.
void RenderAhead::Follow(StagedPdf& staged) {
  using Kind = renderer::PageEvent::Kind;
  const bool reencode = staged.texts.format == kJpgFormat;
  while (staged.process && !staged.ended) {
    const renderer::PageEvent event = staged.process->NextEvent(0);
    switch (event.kind) {
      case Kind::kPageCount:
      case Kind::kPageDone:
      case Kind::kPageFailed:
      case Kind::kPageGrowing:
        // The pages not yet prepared on a later round: the run never waits here.
        staged.pages->Take(event, reencode, PageLoop::Commits::kReadyOnly);
        break;
      case Kind::kEnded:
        staged.pages->RendererEnded();
        staged.outcome = staged.process->Finish();
        staged.ended = true;
        return;
      case Kind::kStopRequested:
      case Kind::kQuiet:
      case Kind::kElsewhere:
        return;
    }
  }
}

// The staged PDFs whose renderer still runs.
std::size_t RenderAhead::Rendering() const {
  return static_cast<std::size_t>(
      std::count_if(staged_.begin(), staged_.end(),
                    [](const auto& staged) { return staged->process && !staged->ended; }));
}

void RenderAhead::StartMore(int claimed) {
  // Enough renderers to keep the cores busy through a few short turns. PDFs whose renderer has
  // ended wait with only their JPEGs, so a long PDF at its turn leaves no core idle beside it
  // (up to a bound that keeps the staged state small).
  const std::size_t most_rendering = 2 * static_cast<std::size_t>(jobs_) + 2;
  while (claimed < jobs_ && Rendering() < most_rendering && staged_.size() < kMostStaged &&
         !StopRequested(settings_)) {
    const int index = NextToStart();
    if (index < 0) return;
    started_up_to_ = index;
    std::unique_ptr<StagedPdf> staged = Start(index, jobs_ - claimed);
    if (!staged) return;  // no staging folder: every later PDF is rendered at its turn
    claimed += staged->Claim();
    staged_.push_back(std::move(staged));
  }
}

int RenderAhead::NextToStart() const {
  for (int index = std::max(started_up_to_, current_) + 1; index < pdfs_.Count(); ++index) {
    if (startable_[index]) return index;
  }
  return -1;
}

std::unique_ptr<StagedPdf> RenderAhead::Start(int index, int workers) {
  if (!staging_) {
    texts_ = TextsOf(host_);
    staging_ = StagingFolder::Create(texts_.folder);
    if (!staging_) {
      startable_.assign(startable_.size(), false);
      return nullptr;
    }
  }
  auto staged = std::make_unique<StagedPdf>();
  staged->index = index;
  staged->texts = texts_;
  staged->workers = workers;
  staged->folder = staging_->NewPdfFolder(index);
  if (staged->folder.empty()) return nullptr;
  const std::string& pdf = pdfs_[index];
  renderer::RendererRequest request =
      RendererRequestFor(renderers_, texts_, staged->folder, pdf, settings_, workers);
  // The cores left now render from the start, every core from its turn on (GrantCores).
  request.workers = jobs_;
  request.workers_now = workers;
  staged->process = renderer::RendererProcess::Start(request);
  if (!staged->process) {
    staged->ended = true;  // tried again at its turn, where a failure shows
    return staged;
  }
  const PageFolders folders{staged->folder, texts_.folder, BaseNameOf(pdf)};
  staged->pages = std::make_unique<PageLoop>(host_, folders, settings_, *staged->process);
  return staged;
}

// Stops nothing by itself: a renderer asked to stop before is waited for and reaped, and the
// pages being prepared are waited for.
void RenderAhead::Abandon(StagedPdf& staged) noexcept {
  staged.pages.reset();
  try {
    if (staged.process && !staged.ended) staged.process->Finish();
  } catch (...) {
    // Out of memory for its error text: destroying the process still kills and reaps it.
  }
  staged.ended = true;
  staged.process.reset();
}

}  // namespace quillamar::batch
