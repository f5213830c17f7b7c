// The conversion run: every chosen PDF through the renderer, then its pages to JPEG if asked.
#include <algorithm>
#include <deque>
#include <future>

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

// Commits a page through the host's one-step re-encoding.
class DeferredReencode : public PreparedPage {
 public:
  DeferredReencode(RunHost& host, std::string png_path, std::string jpg_path)
      : host_(host), png_path_(std::move(png_path)), jpg_path_(std::move(jpg_path)) {}
  void Commit() override { host_.ReencodePage(png_path_, jpg_path_); }

 private:
  RunHost& host_;
  std::string png_path_;
  std::string jpg_path_;
};

// A page on its way: being prepared (maybe on a worker thread), committed at its turn.
struct PageInFlight {
  std::string png_path;
  std::string jpg_path;
  std::future<std::unique_ptr<PreparedPage>> prepared;
};

// Re-encodes pages 1, 2, … of one PDF until the first missing number, deleting each PNG once its
// JPEG is on the disk. Later pages may be prepared ahead, but they are committed strictly in page
// order, so a failure at page k leaves page k and every later page as PNG, untouched. Returns
// false when a stop ended it early.
bool ReencodePages(RunHost& host, const std::string& base_name, const RunSettings& settings) {
  const auto window = static_cast<std::size_t>(std::max(1, settings.pages_in_flight));
  const auto launch = window > 1 ? std::launch::async : std::launch::deferred;
  std::deque<PageInFlight> in_flight;
  int next_page = 1;
  bool more_pages = true;
  const auto start_next_pages = [&] {
    while (more_pages && in_flight.size() < window) {
      const std::string folder = host.OutputFolderText();
      std::string png = renderer::PageFilePath(folder, base_name, next_page, ".png");
      more_pages = next_page <= settings.max_pages && FileExists(png);
      if (!more_pages) break;
      std::string jpg =
          renderer::PageFilePath(host.OutputFolderText(), base_name, next_page, ".jpg");
      in_flight.push_back({png, jpg, std::async(launch, [&host, png, jpg] {
                             return host.PrepareReencode(png, jpg);
                           })});
      ++next_page;
    }
  };
  CommittedPages committed;  // each PNG goes once its JPEG is on the disk, at the latest on return
  for (start_next_pages(); !in_flight.empty(); start_next_pages()) {
    PageInFlight page = std::move(in_flight.front());
    in_flight.pop_front();
    page.prepared.get()->Commit();
    committed.Add(page.jpg_path, page.png_path);
    if (StopRequested(settings)) return false;
  }
  return true;
}

RenderOutcome StartAndAwaitRenderer(RunHost& host, const std::string& renderer_path,
                                    const std::string& pdf, const std::string& base_name,
                                    const RunSettings& settings) {
  // The format is looked at before the start too, only to tell our renderer that its pages are an
  // intermediate; what happens to the pages is decided after it has ended, as always.
  const bool intermediate = host.FormatText() == kJpgFormat;
  const std::string folder = host.OutputFolderText();
  const std::string resolution = host.ResolutionText();
  return renderer::RunRenderer(renderer_path,
                               renderer::RendererArguments(folder, base_name, resolution, pdf),
                               intermediate, settings.stop);
}

enum class PdfEnd { kRendered, kNotStarted, kStopped };

// One PDF: status, renderer, pages, and the message for a renderer that failed; the report says
// how it ended.
PdfEnd ConvertStartedPdf(RunHost& host, const std::string& renderer_path, const std::string& pdf,
                         const RunSettings& settings, RunResult& result, PdfReport& report) {
  host.SetStatusText(kStatusConverting + FileNameOf(pdf));
  host.RepaintNow();
  const std::string base_name = WithoutExtension(FileNameOf(pdf));
  const RenderOutcome outcome =
      StartAndAwaitRenderer(host, renderer_path, pdf, base_name, settings);
  if (outcome.kind == RenderOutcome::Kind::kNotStarted) {
    report.outcome = PdfReport::Outcome::kNotStarted;
    host.ShowMessage(kRendererStartError);
    ++result.pdfs_not_started;
    return PdfEnd::kNotStarted;
  }
  report.outcome = PdfReport::Outcome::kStopped;
  if (outcome.kind == RenderOutcome::Kind::kStopped) return PdfEnd::kStopped;
  // Pages a failing renderer did write are still converted.
  if (host.FormatText() == kJpgFormat && !ReencodePages(host, base_name, settings)) {
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

std::unique_ptr<PreparedPage> RunHost::PrepareReencode(const std::string& png_path,
                                                       const std::string& jpg_path) {
  return std::make_unique<DeferredReencode>(*this, png_path, jpg_path);
}

std::vector<std::string> FindNameClashes(const TStringList& pdfs) {
  std::vector<std::string> seen;
  std::vector<std::string> clashes;
  for (int i = 0; i < pdfs.Count(); ++i) {
    std::string base_name = WithoutExtension(FileNameOf(pdfs[i]));
    if (std::find(seen.begin(), seen.end(), base_name) == seen.end()) {
      seen.push_back(std::move(base_name));
    } else if (std::find(clashes.begin(), clashes.end(), base_name) == clashes.end()) {
      clashes.push_back(std::move(base_name));
    }
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
