// The conversion run: every chosen PDF through the renderer, then its pages to JPEG if asked.
#include "batch/batch.h"
#include "framework/paths.h"

namespace quillamar::batch {
namespace {

constexpr char kJpgFormat[] = "JPG";

bool StopRequested(const RunSettings& settings) {
  return settings.stop != nullptr && settings.stop->Requested();
}

RunResult EndStopped(RunHost& host, RunResult result) {
  host.SetStatusText(kStatusStopped);
  host.RepaintNow();
  result.outcome = RunOutcome::kStopped;
  return result;
}

// Re-encodes pages 1, 2, … of one PDF until the first missing number, deleting each PNG once its
// JPEG is in place. Returns false when a stop ended it early.
bool ReencodePages(RunHost& host, const std::string& base_name, const RunSettings& settings) {
  for (int page = 1; page <= settings.max_pages; ++page) {
    const std::string png =
        renderer::PageFilePath(host.OutputFolderText(), base_name, page, ".png");
    if (!FileExists(png)) break;
    const std::string jpg =
        renderer::PageFilePath(host.OutputFolderText(), base_name, page, ".jpg");
    host.ReencodePage(png, jpg);
    DeleteFile(png);  // a PNG that cannot be deleted merely stays beside its JPEG
    if (StopRequested(settings)) return false;
  }
  return true;
}

std::string FailureMessage(const std::string& pdf, const renderer::RenderOutcome& outcome) {
  return std::string(kRendererFailedPrefix) + FileNameOf(pdf) + "\n" + outcome.error_line;
}

}  // namespace

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
    if (StopRequested(settings)) return EndStopped(host, result);
    const std::string& pdf = pdfs[i];
    host.SetStatusText(kStatusConverting + FileNameOf(pdf));
    host.RepaintNow();
    const std::string base_name = WithoutExtension(FileNameOf(pdf));
    // The format is looked at before the start too, only to tell our renderer that its pages are
    // an intermediate; what happens to the pages is decided after it has ended, as always.
    const bool intermediate = host.FormatText() == kJpgFormat;
    const auto arguments =
        renderer::RendererArguments(host.OutputFolderText(), base_name, host.ResolutionText(), pdf);
    const renderer::RenderOutcome outcome =
        renderer::RunRenderer(renderer_path, arguments, intermediate, settings.stop);
    using Kind = renderer::RenderOutcome::Kind;
    if (outcome.kind == Kind::kNotStarted) {
      host.ShowMessage(kRendererStartError);
      ++result.pdfs_not_started;
      continue;
    }
    if (outcome.kind == Kind::kStopped) return EndStopped(host, result);
    if (host.FormatText() == kJpgFormat && !ReencodePages(host, base_name, settings)) {
      return EndStopped(host, result);
    }
    if (outcome.kind == Kind::kFailed) {
      host.ShowMessage(FailureMessage(pdf, outcome));
      ++result.pdfs_failed;
    }
    host.SetProgressPosition(i);
  }
  host.SetStatusText(kStatusDone);
  host.SetProgressPosition(0);
  result.outcome = RunOutcome::kCompleted;
  return result;
}

}  // namespace quillamar::batch
