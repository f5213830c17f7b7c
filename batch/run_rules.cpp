// The run-wide rules.
#include "batch/run_rules.h"

#include <algorithm>

#include "batch/page_names.h"

namespace quillamar::batch {

bool StopRequested(const RunSettings& settings) {
  return settings.stop != nullptr && settings.stop->Requested();
}

int JobsOf(const RunSettings& settings) {
  return settings.jobs > 0 ? settings.jobs : DefaultJobs();
}

// Enough for the renderer's workers and the pages prepared ahead, few enough to keep the
// intermediate files of a PDF to a handful.
int PageWindowFor(int jobs) { return std::clamp(2 * jobs, 2, contract::kMaxPageWindow); }

RenderTexts TextsOf(RunHost& host) {
  RenderTexts texts;
  texts.format = host.FormatText();
  texts.folder = host.OutputFolderText();
  texts.resolution = host.ResolutionText();
  return texts;
}

renderer::RendererRequest RendererRequestFor(const RendererSource& renderers,
                                             const RenderTexts& texts, const std::string& folder,
                                             const std::string& pdf, const RunSettings& settings,
                                             int workers) {
  const bool reencode = texts.format == kJpgFormat;
  const std::string base_name = BaseNameOf(pdf);
  renderer::RendererRequest request;
  request.path = renderers.path;
  request.server = renderers.server;
  request.arguments =
      renderer::RendererArguments(OutputPattern(folder, base_name), texts.resolution, pdf);
  request.intermediate_pages = reencode;
  request.stop = settings.stop;
  request.page_channel = true;
  request.workers = workers;
  request.engine = settings.engine;
  const int jobs = JobsOf(settings);
  if (reencode) request.page_window = PageWindowFor(jobs);
  // Renderers running side by side share the renderers' half of the memory budget by workers.
  if (workers < jobs) request.memory_budget = contract::kMemoryBudgetBytes / 2 * workers / jobs;
  return request;
}

}  // namespace quillamar::batch
