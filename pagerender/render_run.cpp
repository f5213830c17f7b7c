// Renders a PDF's pages on worker threads, each with its own document, and writes the page files.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "framework/descriptors.h"
#include "framework/system_calls.h"
#include "pagerender/crash_guard.h"
#include "pagerender/fonts.h"
#include "pagerender/page_channel.h"
#include "pagerender/pagerender.h"
#include "pagerender/pdf_document.h"
#include "pagerender/png_writer.h"

namespace quillamar::pagerender {
namespace {

int StartingWorkers(const RenderRequest& request) {
  return request.workers_now > 0 ? std::min(request.workers_now, request.workers) : request.workers;
}

struct PageFailure {
  int page = 0;  ///< from 1
  std::string message;
};

// What became of one page: no error when its file is in place.
struct PageResult {
  std::string error;
  bool stops_run = false;  ///< later pages would fail the same way (their files cannot be written)
  std::vector<std::string> undrawn_fonts;  ///< fonts whose text is missing from the page
  /// The page's bitmap, freed only once the page is announced: freeing a huge one takes a while.
  std::shared_ptr<const void> pixels;
};

// A temporary page file open for writing; closed and removed on destruction unless committed.
class PendingFile {
 public:
  PendingFile(TemporaryFiles& files, TemporaryFiles::Created created, std::string final_path)
      : files_(files),
        final_path_(std::move(final_path)),
        temporary_(std::move(created.path)),
        fd_(created.fd),
        reused_(created.reused) {}
  ~PendingFile() {
    fd_.Reset();
    if (!done_ && !temporary_.empty()) files_.Discard(temporary_);
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  int fd() const { return fd_.Get(); }

  // Closes the file and gives it its final name. A reused file ends where the page ends.
  Status Commit() {
    done_ = true;  // the temporary is gone after this, whatever happens
    int error = reused_ ? CutAtPosition(fd_.Get()) : 0;
    if (const int closed = fd_.Close(); error == 0) error = closed;
    if (error != 0) {
      files_.Discard(temporary_);
      return Fail(std::strerror(error));
    }
    return files_.Commit(temporary_, final_path_);
  }

 private:
  TemporaryFiles& files_;
  std::string final_path_;
  std::string temporary_;
  FileDescriptor fd_;
  bool reused_ = false;
  bool done_ = false;
};

// A new temporary for the page file at path: a spare the run offers when one can be taken, which
// costs less to write over than a new file; else a new file.
Result<TemporaryFiles::Created> PageTemporary(const std::string& path,
                                              const RenderRequest& request) {
  if (request.channel != nullptr) {
    for (int spare = request.channel->TakeSpare(); spare > 0;
         spare = request.channel->TakeSpare()) {
      const std::string spare_path = PageFileName(request.options.pattern, spare);
      if (auto reused = request.temporaries->Reuse(spare_path, path)) return reused;
    }
  }
  return request.temporaries->Create(path);
}

// A huge intermediate page in colour is written once, from its start, into a new file: the run
// may read it while it grows.
bool MayAnnounceGrowing(const Raster& raster, const PngSettings& settings,
                        const TemporaryFiles::Created& file, const RenderRequest& request) {
  return request.channel != nullptr && request.mode == PngMode::kIntermediate && !settings.grey &&
         !file.reused && raster.Huge();
}

// Writes the page's PNG under a temporary name, then renames it. Alone: no other page is being
// rendered or left to render, so the writing is all that the run waits for.
Status WritePageFile(const Raster& raster, int page, bool alone, const RenderRequest& request) {
  const std::string path = PageFileName(request.options.pattern, page);
  Result<TemporaryFiles::Created> created = PageTemporary(path, request);
  if (!created) return Fail("cannot write " + path + ": " + created.Error());
  const PngSettings settings = ChoosePngSettings(raster, request.mode, alone && !created->reused);
  if (MayAnnounceGrowing(raster, settings, *created, request)) {
    request.channel->AnnounceGrowing(page, created->number);
  }
  PendingFile file(*request.temporaries, std::move(*created), path);
  Status written = WritePng(file.fd(), raster, settings, request.options.resolution);
  if (written) written = file.Commit();
  if (!written) return Fail("cannot write " + path + ": " + written.Error());
  return {};
}

// Holds back a page whose bitmap would take the pages being rendered above the budget; a page
// alone always goes ahead.
class MemoryGate {
 public:
  explicit MemoryGate(long long budget) : budget_(budget) {}

  void Acquire(long long bytes) {
    if (budget_ <= 0) return;
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return held_ == 0 || held_ + bytes <= budget_; });
    held_ += bytes;
  }
  void Release(long long bytes) {
    if (budget_ <= 0) return;
    const std::lock_guard lock(mutex_);
    held_ -= bytes;
    freed_.notify_all();
  }

 private:
  const long long budget_;
  long long held_ = 0;
  std::mutex mutex_;
  std::condition_variable freed_;
};

class PageRun;
void RunWorker(PageRun& run, const RenderRequest& request) noexcept;

// Hands out pages in order to the workers and gathers what went wrong.
class PageRun {
 public:
  // The calling thread is the first of at most most_workers.
  PageRun(const RenderRequest& request, int page_count, int most_workers)
      : request_(request),
        page_count_(page_count),
        most_workers_(most_workers),
        memory_(request.memory_budget) {}
  ~PageRun() { JoinWorkers(); }
  PageRun(const PageRun&) = delete;
  PageRun& operator=(const PageRun&) = delete;

  // Starts worker threads until count work (the calling thread included), while pages are left.
  void AddWorkersUpTo(int count) {
    const std::lock_guard lock(workers_mutex_);
    count = std::min(count, most_workers_);
    while (!workers_closed_ && 1 + static_cast<int>(workers_.size()) < count &&
           next_.load() < page_count_) {
      try {
        workers_.emplace_back(RunWorker, std::ref(*this), std::cref(request_));
      } catch (const std::system_error&) {
        return;  // fewer workers still render every page
      }
    }
  }

  // Waits for every worker thread; none starts afterwards.
  void JoinWorkers() {
    std::vector<std::thread> workers;
    {
      const std::lock_guard lock(workers_mutex_);
      workers_closed_ = true;
      workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
  }

  // Renders pages until none are left, a stop is requested or a page could not be written.
  void Work(PdfDocument& document) {
    document.KeepBitmapsUpTo(KeptBitmapBytes());
    for (;;) {
      if (halted_.load() || (request_.stop != nullptr && request_.stop->load())) return;
      const int index = next_.fetch_add(1);
      if (index >= page_count_) return;
      // Pacing comes before memory: a page waiting for its turn holds nothing.
      if (request_.channel != nullptr) {
        if (!request_.channel->AwaitTurn(index + 1, request_.stop)) return;
        AddWorkersUpTo(request_.channel->GrantedWorkers());
      }
      const long long bytes =
          static_cast<long long>(document.PixelCount(index, request_.options.resolution)) *
          contract::kRendererBytesPerPixel;
      memory_.Acquire(bytes);
      NoteCurrentPage(index + 1);
      ++rendering_;
      PageResult result = RenderPageCaught(document, index);
      --rendering_;
      NoteCurrentPage(0);
      NoteUndrawnText(index + 1, result.undrawn_fonts);
      const bool written = result.error.empty();
      if (request_.channel != nullptr) {
        written ? request_.channel->AnnounceDone(index + 1)
                : request_.channel->AnnounceFailed(index + 1);
      }
      result.pixels.reset();
      memory_.Release(bytes);
      if (written) {
        ++written_;
        continue;
      }
      if (result.stops_run) halted_.store(true);
      const std::lock_guard lock(mutex_);
      failures_.push_back(PageFailure{index + 1, std::move(result.error)});
    }
  }

  RenderOutcome Outcome() const {
    RenderOutcome outcome;
    if (!undrawn_text_.empty()) {
      outcome.warning_line = UndrawnTextWarning(request_.options.pdf, undrawn_text_);
    }
    outcome.pages_written = written_.load();
    if (failures_.empty() && outcome.pages_written == page_count_) return outcome;
    outcome.exit_status = kExitFailure;
    const std::string prefix = std::string(kProgramName) + ": " + request_.options.pdf + ": ";
    if (failures_.empty()) {
      outcome.error_line = prefix + "stopped after " + std::to_string(outcome.pages_written) +
                           " of " + std::to_string(page_count_) + " pages";
      return outcome;
    }
    const auto first = std::min_element(
        failures_.begin(), failures_.end(),
        [](const PageFailure& a, const PageFailure& b) { return a.page < b.page; });
    outcome.error_line = prefix + "page " + std::to_string(first->page) + ": " + first->message;
    if (const std::size_t more = failures_.size() - 1; more > 0) {
      outcome.error_line += " (" + std::to_string(more) +
                            (more == 1 ? " more page" : " more pages") + " also failed)";
    }
    return outcome;
  }

 private:
  // A worker is an edge: whatever goes wrong with one page becomes that page's failure.
  PageResult RenderPageCaught(const PdfDocument& document, int index) noexcept {
    try {
      return RenderPage(document, index);
    } catch (const std::bad_alloc&) {
      return {"out of memory", false, {}, {}};
    } catch (const std::exception& error) {
      return {error.what(), false, {}, {}};
    } catch (...) {
      return {"unexpected failure", false, {}, {}};
    }
  }

  PageResult RenderPage(const PdfDocument& document, int index) const {
    Result<PageRaster> page = document.Render(index, request_.options.resolution);
    if (!page) return {page.Error(), false, {}, {}};
    // A file that cannot be written means every later one fails too: hand out no more pages.
    const bool alone = next_.load() >= page_count_ && rendering_.load() == 1;
    const Status written = WritePageFile(page->raster, index + 1, alone, request_);
    if (written) return {{}, false, std::move(page->undrawn_fonts), std::move(page->raster.owner)};
    return {written.Error(), true, std::move(page->undrawn_fonts), {}};
  }

  // A worker keeps its last bitmap for its next page outside the memory gate: together the
  // workers of the start keep at most half the budget; those granted later keep as much each.
  long long KeptBitmapBytes() const {
    return request_.memory_budget / (2LL * std::max(StartingWorkers(request_), 1));
  }

  void NoteUndrawnText(int page, const std::vector<std::string>& fonts) {
    if (fonts.empty()) return;
    const std::lock_guard lock(mutex_);
    for (const auto& font : fonts) undrawn_text_[font].insert(page);
  }

  const RenderRequest& request_;
  const int page_count_;
  const int most_workers_;
  std::mutex workers_mutex_;
  std::vector<std::thread> workers_;  // besides the calling thread
  bool workers_closed_ = false;
  std::atomic<int> next_{0};
  std::atomic<int> written_{0};
  std::atomic<int> rendering_{0};  // pages being rendered and written
  std::atomic<bool> halted_{false};
  MemoryGate memory_;
  std::mutex mutex_;
  std::vector<PageFailure> failures_;
  UndrawnTextPages undrawn_text_;
};

// Each further worker loads the file again: poppler documents are not shared between threads.
// A worker whose document cannot be loaded leaves its share to the others.
void RunWorker(PageRun& run, const RenderRequest& request) noexcept {
  try {
    const CrashStack crash_stack;
    const OpenedPdf opened =
        PdfDocument::Open(request.options.pdf, request.password, request.engine);
    if (opened) run.Work(**opened);
  } catch (...) {
  }
}

}  // namespace

namespace {

// A positive decimal number from the environment variable; 0 when it is absent or anything else.
template <typename Number>
Number PositiveFromEnvironment(const char* name) {
  const char* text = std::getenv(name);
  Number value = 0;
  if (text == nullptr) return 0;
  const char* end = text + std::strlen(text);
  const auto [rest, error] = std::from_chars(text, end, value);
  return error == std::errc() && rest == end && value > 0 ? value : 0;
}

// The run's share for this renderer when it runs several at once; half the budget otherwise.
long long MemoryBudget() {
  const auto given = PositiveFromEnvironment<long long>(contract::kMemoryBudgetEnv);
  return given > 0 ? given : contract::kMemoryBudgetBytes / 2;
}

}  // namespace

// The CPUs, or as many as the run asks for (the memory budget holds their pages back).
int WorkerCount() {
  const int allowed = PositiveFromEnvironment<int>(contract::kWorkersEnv);
  return allowed > 0 ? allowed : UsableCpuCount();
}

namespace {

RenderOutcome DocumentFailure(const std::string& pdf, const std::string& reason,
                              int exit_status = kExitFailure) {
  return RenderOutcome{exit_status, std::string(kProgramName) + ": " + pdf + ": " + reason, 0, {}};
}

}  // namespace

bool PrepareRendering() { return PreparePdfLibrary(); }

RenderOutcome RenderPdf(const RenderRequest& request) {
  if (!PrepareRendering()) return DocumentFailure(request.options.pdf, "rendering is unavailable");
  const OpenedPdf opened = PdfDocument::Open(request.options.pdf, request.password, request.engine);
  if (!opened) {
    return DocumentFailure(request.options.pdf, opened.Error().reason,
                           opened.Error().locked ? kExitNeedsPassword : kExitFailure);
  }
  const int pages = (*opened)->PageCount();
  if (request.channel != nullptr) request.channel->AnnouncePageCount(pages);
  // Workers beyond the pacing window would only wait.
  const int paced = request.channel != nullptr && request.channel->Window() > 0
                        ? request.channel->Window()
                        : kMaxOpenTemporaries;
  PageRun run(request, pages,
              std::clamp(request.workers, 1, std::min({pages, kMaxOpenTemporaries, paced})));
  run.AddWorkersUpTo(StartingWorkers(request));
  {
    const CrashStack crash_stack;
    run.Work(**opened);
  }
  run.JoinWorkers();
  return run.Outcome();
}

int RunProgram(const std::vector<std::string>& arguments, TemporaryFiles& temporaries,
               const std::atomic<bool>* stop) {
  const Result<Options> parsed = ParseArguments(arguments);
  const char* engine_name = std::getenv(contract::kEngineEnv);
  const std::optional<Engine> engine = EngineNamed(engine_name);
  if (!parsed || !engine) {
    const std::string reason = parsed ? std::string(contract::kEngineEnv) + " names no engine: '" +
                                            engine_name + "' (use mupdf or poppler)"
                                      : parsed.Error();
    WriteError((std::string(kProgramName) + ": " + reason + contract::kUsageNote + "\n").c_str());
    return kExitUsage;
  }
  InstallCrashGuard(parsed->pdf, temporaries);
  const char* intermediate = std::getenv(kIntermediateEnv);
  RenderRequest request;
  request.options = *parsed;
  request.workers = WorkerCount();
  request.workers_now = PositiveFromEnvironment<int>(contract::kWorkersNowEnv);
  request.mode = intermediate != nullptr && std::string(intermediate) == "1"
                     ? PngMode::kIntermediate
                     : PngMode::kBalanced;
  request.temporaries = &temporaries;
  request.stop = stop;
  request.password = TakePassword();
  const std::unique_ptr<PageChannel> channel = PageChannel::FromEnvironment();
  request.channel = channel.get();
  request.memory_budget = MemoryBudget();
  request.engine = *engine;
  const RenderOutcome outcome = RenderPdf(request);
  // A stop by signal has its own line, written by the thread that ends the process: the pages
  // it cancelled on the way are no failures to report beside it.
  if (stop != nullptr && stop->load()) return kExitFailure;
  // Before the error line, which must stay the last one.
  if (!outcome.warning_line.empty()) {
    WriteError((contract::kWarningPrefix + outcome.warning_line + "\n").c_str());
  }
  if (outcome.exit_status != kExitSuccess) WriteError((outcome.error_line + "\n").c_str());
  return outcome.exit_status;
}

}  // namespace quillamar::pagerender
