// The conversion run: every chosen PDF through the renderer, then its pages to JPEG if asked.

#include <malloc.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "batch/batch.h"
#include "batch/page_loop.h"
#include "batch/render_ahead.h"
#include "batch/staging.h"
#include "framework/paths.h"
#include "framework/system_calls.h"

namespace quillamar::batch {
namespace {

using renderer::RenderOutcome;

// How long the run may wait for the renderer: until the committed pages are due to be flushed,
// and no longer than a moment while pages of the renderers started ahead are being prepared
// (those are committed as they are ready, never waited for).
int WaitFor(const PageLoop& pages, const RenderAhead& ahead) {
  const int quiet = pages.QuietTimeout();
  if (!ahead.Preparing()) return quiet;
  const int period = static_cast<int>(kServePeriod.count());
  return quiet < 0 ? period : std::min(quiet, period);
}

// While the current PDF's page loop waits for a page, the renderers started ahead are served with
// the cores its renderer keeps busy.
void ServeAheadWhileWaiting(PageLoop& pages, RenderAhead& ahead, int workers) {
  pages.ServeWhileWaiting([&pages, &ahead, workers](bool renderer_ended) {
    ahead.Serve(renderer_ended ? 0 : std::min(workers, pages.PagesRenderableNow()));
  });
}

// Follows the renderer's announcements until it has nothing more to say, committing pages as they
// come when they are to be JPEG, and serving the renderers started ahead meanwhile. False when a
// stop ended it. An exception stops the renderer and waits for it before it leaves.
bool FollowRenderer(renderer::RendererProcess& process, PageLoop& pages, bool reencode, int workers,
                    RenderAhead& ahead) {
  using Kind = renderer::PageEvent::Kind;
  try {
    for (;;) {
      ahead.Serve(std::min(workers, pages.PagesRenderableNow()));
      const renderer::PageEvent event =
          process.NextEvent(WaitFor(pages, ahead), ahead.WakeDescriptors());
      switch (event.kind) {
        case Kind::kQuiet:
          if (pages.QuietTimeout() <= 0) pages.FlushCommitted();
          break;
        case Kind::kElsewhere:
          break;  // served on the next round
        case Kind::kPageCount:
        case Kind::kPageDone:
        case Kind::kPageFailed:
        case Kind::kPageGrowing:
          if (!pages.Take(event, reencode, PageLoop::Commits::kWaiting)) return false;
          break;
        case Kind::kEnded:
          pages.RendererEnded();
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

// What one PDF's turn needs to render it.
struct PdfTurn {
  RunHost& host;
  const RendererSource& renderers;
  const std::string& pdf;
  const RunSettings& settings;
  RenderAhead& ahead;
  RenderTexts texts;
  std::string base_name;
  bool Reencode() const { return texts.format == kJpgFormat; }
};

RenderedPdf RenderFollowing(const PdfTurn& turn, std::optional<std::string> password) {
  // The PDF at its turn may use every core once the renderers started ahead have ended, which is
  // soon (they are short or few); until then its memory is the share of the cores they leave.
  const int workers = JobsOf(turn.settings);
  const int free_cores = std::max(1, workers - turn.ahead.Claimed());
  renderer::RendererRequest request = RendererRequestFor(
      turn.renderers, turn.texts, turn.texts.folder, turn.pdf, turn.settings, free_cores);
  request.workers = workers;
  request.password = std::move(password);
  RenderedPdf rendered;
  rendered.process = renderer::RendererProcess::Start(request);
  if (!rendered.process) return rendered;
  const PageFolders folders{turn.texts.folder, turn.texts.folder, turn.base_name};
  rendered.pages = std::make_unique<PageLoop>(turn.host, folders, turn.settings, *rendered.process);
  ServeAheadWhileWaiting(*rendered.pages, turn.ahead, workers);
  rendered.followed =
      FollowRenderer(*rendered.process, *rendered.pages, turn.Reencode(), workers, turn.ahead);
  rendered.outcome = rendered.process->Finish();
  return rendered;
}

// The renderer's lines name the staging folder where they would have named the output folder.
void ShowOutputFolder(RenderOutcome& outcome, const std::string& staged,
                      const std::string& output) {
  const auto replace = [&](std::string& text) {
    for (auto at = text.find(staged); at != std::string::npos;
         at = text.find(staged, at + output.size())) {
      text.replace(at, staged.size(), output);
    }
  };
  replace(outcome.error_line);
  for (std::string& warning : outcome.warnings) replace(warning);
}

// A PDF rendered ahead takes its turn: what it showed so far is shown now, its pages go into
// place, and a renderer still running is followed from here on as any other. Whatever happens,
// the files it leaves in the staging folder are moved into the output folder once it has ended.
RenderedPdf RenderStaged(const PdfTurn& turn, StagedPdf& staged) {
  staged.GrantCores(JobsOf(turn.settings));
  RenderedPdf rendered;
  rendered.process = std::move(staged.process);
  rendered.pages = std::move(staged.pages);
  bool reaped = staged.ended;
  try {
    ServeAheadWhileWaiting(*rendered.pages, turn.ahead, staged.workers);
    rendered.pages->Publish();
    // Pages still being prepared go into place as they would have, before anything else comes.
    if (!rendered.pages->CommitAnnounced()) {
      rendered.followed = false;  // a stop: a renderer still running gets it in Finish()
      if (!staged.ended) {
        reaped = true;
        rendered.outcome = rendered.process->Finish();
      }
    } else if (staged.ended) {
      rendered.followed = true;
      rendered.outcome = staged.outcome;
    } else {
      reaped = true;  // from here on FollowRenderer reaps it, whatever happens
      rendered.followed = FollowRenderer(*rendered.process, *rendered.pages, turn.Reencode(),
                                         staged.workers, turn.ahead);
      rendered.outcome = rendered.process->Finish();
    }
  } catch (...) {
    if (!reaped) {
      rendered.process->Stop();
      rendered.process->Finish();
    }
    rendered.pages->LeaveStaging();
    throw;
  }
  // A page that failed in staging fails (or not) now, where the sequential run would have met it.
  if (rendered.pages->LeaveStaging() && rendered.followed && !rendered.pages->CommitRemaining()) {
    rendered.followed = false;
  }
  ShowOutputFolder(rendered.outcome, staged.folder, turn.texts.folder);
  RemoveFolderTree(staged.folder);
  return rendered;
}

// Renders the PDF (or takes it over from its renderer started ahead); while it is locked, asks the
// host for a password and renders again with the answer, until it opens, the host skips it or a
// stop comes.
RenderedPdf RenderUnlocking(const PdfTurn& turn, std::unique_ptr<StagedPdf> staged) {
  RenderedPdf rendered = staged ? RenderStaged(turn, *staged) : RenderFollowing(turn, std::nullopt);
  for (bool retry = false; rendered.process && rendered.followed && NeedsPassword(rendered.outcome);
       retry = true) {
    if (StopRequested(turn.settings)) {
      rendered.followed = false;
      break;
    }
    std::optional<std::string> password = turn.host.AskPassword(turn.pdf, retry);
    if (!password) break;
    rendered = RenderFollowing(turn, std::move(password));
  }
  return rendered;
}

// A PDF started ahead is of use at its turn when its renderer started with the texts of now.
std::unique_ptr<StagedPdf> UsableAtTurn(std::unique_ptr<StagedPdf> staged,
                                        const RenderTexts& texts) {
  if (staged && (!staged->process || !(staged->texts == texts))) {
    RenderAhead::DiscardStaged(*staged);
    staged.reset();
  }
  return staged;
}

// What the pages of a PDF came to, once its renderer has ended.
void CountPages(const PdfTurn& turn, const PageLoop& pages, RunResult& result) {
  result.pages_done = pages.PagesDone();
  result.pages_total = pages.PagesTotal();
  if (pages.PagesTotal() > 0 || pages.PagesDone() > 0) {
    result.pages_written += pages.PagesDone();
    return;
  }
  // A renderer that announces nothing, its pages kept as PNG: its first page file tells.
  const char* extension = PageExtensionFor(turn.texts.format);
  if (FileExists(PageFilePath(turn.texts.folder, turn.base_name, 1, extension))) {
    ++result.pages_written;
  }
}

// A stopped JPG run leaves no intermediate PNG pages beside the JPEGs.
PdfEnd Stopped(const PdfTurn& turn, const RenderedPdf& rendered, RunResult& result) {
  if (turn.Reencode()) rendered.pages->RemoveUnconvertedPngs();
  CountPages(turn, *rendered.pages, result);
  return PdfEnd::kStopped;
}

// One PDF: status, renderer, pages, and the message for a renderer that failed; the report says
// how it ended.
PdfEnd ConvertStartedPdf(PdfTurn& turn, std::unique_ptr<StagedPdf> staged, RunResult& result,
                         PdfReport& report) {
  RunHost& host = turn.host;
  host.SetStatusText(kStatusConverting + FileNameOf(turn.pdf));
  host.RepaintNow();
  turn.base_name = BaseNameOf(turn.pdf);
  // Pages are re-encoded while the renderer runs when the format asks for it now; whatever is
  // left is decided after it has ended, as always.
  turn.texts = TextsOf(host);
  const RenderedPdf rendered = RenderUnlocking(turn, UsableAtTurn(std::move(staged), turn.texts));
  if (!rendered.process) {
    report.outcome = PdfReport::Outcome::kNotStarted;
    host.ShowMessage(kRendererStartError);
    ++result.pdfs_not_started;
    return PdfEnd::kNotStarted;
  }
  const RenderOutcome& outcome = rendered.outcome;
  report.outcome = PdfReport::Outcome::kStopped;
  // A renderer that failed while the run was being stopped failed of the stop: a job's cancel
  // signals every process of the job, the renderer at times before the run.
  if (!rendered.followed || outcome.kind == RenderOutcome::Kind::kStopped ||
      (outcome.kind == RenderOutcome::Kind::kFailed && StopRequested(turn.settings))) {
    return Stopped(turn, rendered, result);
  }
  for (const std::string& warning : outcome.warnings) host.ReportWarning(warning);
  // Pages a failing renderer did write are still converted.
  if (host.FormatText() == kJpgFormat && !rendered.pages->CommitRemaining()) {
    return Stopped(turn, rendered, result);
  }
  CountPages(turn, *rendered.pages, result);
  report.outcome = PdfReport::Outcome::kConverted;
  if (outcome.kind == RenderOutcome::Kind::kFailed) {
    report.outcome = PdfReport::Outcome::kFailed;
    report.error_line = ShownRendererLine(outcome.error_line);
    host.ShowFailure(kRendererFailedPrefix + FileNameOf(turn.pdf) + "\n" + report.error_line);
    ++result.pdfs_failed;
  }
  return PdfEnd::kRendered;
}

PdfEnd ConvertPdf(RunHost& host, const RendererSource& renderers, const TStringList& pdfs,
                  int index, const RunSettings& settings, RenderAhead& ahead, RunResult& result) {
  PdfReport report{pdfs[index], PdfReport::Outcome::kConverted, {}};
  host.PdfStarted(report.pdf);
  PdfTurn turn{host, renderers, pdfs[index], settings, ahead, {}, {}};
  const PdfEnd end = ConvertStartedPdf(turn, ahead.TakeTurn(index), result, report);
  host.PdfFinished(report);
  return end;
}

// For the length of a run, the freed buffers of a page stay with the process for the next page
// instead of going back to the system and being faulted in again, page after page (a third of the
// run's own system time at 300 dpi). Buffers of a huge page still come and go on their own. What
// is kept goes back when the run ends.
class LargeBuffersKept {
 public:
  LargeBuffersKept() {
    ::mallopt(M_MMAP_THRESHOLD, kKeptUpTo);
    ::mallopt(M_TRIM_THRESHOLD, kKeptUpTo * 4);
  }
  // Back to glibc's starting values, so that a window left open between runs holds no more than
  // it did before the first.
  ~LargeBuffersKept() {
    ::mallopt(M_MMAP_THRESHOLD, kDefaultThreshold);
    ::mallopt(M_TRIM_THRESHOLD, kDefaultThreshold);
    ::malloc_trim(0);
  }
  LargeBuffersKept(const LargeBuffersKept&) = delete;
  LargeBuffersKept& operator=(const LargeBuffersKept&) = delete;

 private:
  static constexpr int kKeptUpTo = 256 << 20;
  static constexpr int kDefaultThreshold = 128 << 10;
};

}  // namespace

int DefaultJobs() { return UsableCpuCount(); }

bool IsUsableResolution(const std::string& text) {
  constexpr std::size_t kMostDigits = 4;  // kMaxResolution's
  if (text.empty() || text.size() > kMostDigits || text.front() == '0') return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  return std::stoi(text) <= contract::kMaxResolution;
}

std::string ShownRendererLine(std::string line) {
  const std::string_view prefix = contract::kMessagePrefix;
  const std::string_view usage = contract::kUsageNote;
  if (std::string_view(line).starts_with(prefix)) line.erase(0, prefix.size());
  if (std::string_view(line).ends_with(usage)) line.resize(line.size() - usage.size());
  return line;
}

std::string StoppedStatus(int pdf_index, int pdf_count, int pages_done, int pages_total) {
  std::string where;
  if (pdf_count > 1) {
    where = "第 " + std::to_string(pdf_index + 1) + "/" + std::to_string(pdf_count) + " 个文件";
  }
  if (pages_total > 0) {
    where += (where.empty() ? "" : "，") + std::to_string(pages_done) + "/" +
             std::to_string(pages_total) + " 页";
  }
  return where.empty() ? std::string(kStatusStopped) : kStatusStopped + ("（" + where + "）");
}

std::vector<std::string> FindNameClashes(const TStringList& pdfs) {
  const std::vector<int> first = FirstOfEachBaseName(pdfs);
  std::vector<bool> clashes_later(first.size(), false);  // by the first PDF of each name
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (first[i] != static_cast<int>(i)) clashes_later[static_cast<std::size_t>(first[i])] = true;
  }
  // Listed where each name first appears.
  std::vector<std::string> clashes;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (clashes_later[i]) clashes.push_back(BaseNameOf(pdfs[static_cast<int>(i)]));
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
  const std::string folder = host.OutputFolderText();
  if (!FolderExists(folder)) ForceFolders(folder);
  RemoveAbandonedStaging(folder);

  const LargeBuffersKept kept;
  const TStringList pdfs = host.SourceFiles();
  host.SetProgressPosition(0);
  host.SetProgressMaximum(pdfs.Count() - 1);

  // Outlives every renderer of the run. With one PDF there is nothing to fork later.
  std::optional<renderer::RendererServer> server;
  if (pdfs.Count() > 1) server.emplace();
  const RendererSource renderers{
      settings.renderer_path.empty() ? renderer::RendererPath() : settings.renderer_path,
      server ? &*server : nullptr};
  RenderAhead ahead(host, pdfs, settings, renderers);
  for (int i = 0; i < pdfs.Count(); ++i) {
    result.pages_done = result.pages_total = 0;
    const PdfEnd end = StopRequested(settings)
                           ? PdfEnd::kStopped
                           : ConvertPdf(host, renderers, pdfs, i, settings, ahead, result);
    if (end == PdfEnd::kStopped) {
      host.SetStatusText(StoppedStatus(i, pdfs.Count(), result.pages_done, result.pages_total));
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
