// The pages of one PDF on their way from the renderer's page files to their final files, and the
// small rules that the run and the renderers started ahead share.
#pragma once

#include <chrono>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "batch/committed_pages.h"
#include "batch/growing_page.h"
#include "batch/page_names.h"
#include "renderer/renderer.h"

namespace quillamar::batch {

inline constexpr char kJpgFormat[] = "JPG";

bool StopRequested(const RunSettings& settings);
int JobsOf(const RunSettings& settings);
/// How often the run serves the renderers started ahead while it waits for anything else.
inline constexpr std::chrono::milliseconds kServePeriod{2};
/// How many pages the renderer may run ahead of the page the run commits.
int PageWindowFor(int jobs);

/// The texts a PDF's renderer is started with.
struct RenderTexts {
  std::string folder;
  std::string format;
  std::string resolution;
  bool operator==(const RenderTexts&) const = default;
};

RenderTexts TextsOf(RunHost& host);

/// Where a run's renderers come from: the executable, and the server that forks them once it is
/// ready (null: each is executed).
struct RendererSource {
  std::string path;
  renderer::RendererServer* server = nullptr;
};

/// The request for one PDF's renderer writing into folder with the workers given.
renderer::RendererRequest RendererRequestFor(const RendererSource& renderers,
                                             const RenderTexts& texts, const std::string& folder,
                                             const std::string& pdf, const RunSettings& settings,
                                             int workers);

/// Where a PDF's page files are.
struct PageFolders {
  std::string work;    ///< where its renderer writes: the output folder, or a staging folder
  std::string output;  ///< the output folder text
  std::string base_name;
};

/// The pages of one PDF. Pages are committed strictly in page order, 1, 2, … until the first
/// missing number, so a failure at page k leaves page k and every later page as PNG, untouched.
/// While the renderer runs, a page is taken once it has been announced; once it has ended, once
/// its file exists. Later pages may be prepared ahead, as many as the jobs and the run's share of
/// the memory budget allow.
///
/// A PDF rendered ahead of its turn works in a staging folder: its pages are committed there and
/// what the host would have been shown is kept, until Publish() shows it and moves the pages into
/// place. A failure there holds the pages from that one on, to be met again in place.
class PageLoop {
 public:
  PageLoop(RunHost& host, PageFolders folders, const RunSettings& settings,
           renderer::RendererProcess& process);
  ~PageLoop();
  PageLoop(const PageLoop&) = delete;
  PageLoop& operator=(const PageLoop&) = delete;

  void SetTotal(int pages);
  /// A page announced while pages stay PNG: counted (and moved into place once published).
  void Rendered(int page);
  /// Page's file is complete. A page the loop will never take is let go at once, so that the
  /// renderer is not held back by it.
  void Announced(int page);
  /// Page will have no file: the loop ends there, as it would at a missing number.
  void Failed(int page);
  /// Page's file is being written as file_name in the folder worked in (a huge page). When it is
  /// the next to prepare and nothing else is being prepared, it is read while it grows; it is
  /// committed only once announced.
  void Growing(int page, const std::string& file_name);
  /// Commits the announced pages that are next in order; false when a stop ended it.
  bool CommitAnnounced() { return CommitInOrder(false, true); }
  /// After the renderer has ended (RendererEnded): the remaining pages until the first missing
  /// number.
  bool CommitRemaining() { return CommitInOrder(true, true); }
  /// Commits the announced pages that are next in order and already prepared, without waiting
  /// for the others; false when a stop ended it.
  bool CommitReady() { return CommitInOrder(false, false); }
  /// Pages are being prepared.
  bool HasPagesInFlight() const { return !in_flight_.empty(); }
  /// Called now and then while the loop waits for a page being prepared, told whether the
  /// renderer has ended: the run serves the renderers started ahead meanwhile.
  void ServeWhileWaiting(std::function<void(bool renderer_ended)> serve) {
    serve_ = std::move(serve);
  }

  /// Pages put in place (or, while pages stay PNG, announced) so far, and the page count the
  /// renderer announced (0 until it has).
  int PagesDone() const { return done_; }
  int PagesTotal() const { return total_; }
  /// After a stop, once the renderer has ended: removes the PNG pages it wrote that were not yet
  /// turned into JPEG, so that only finished pages are left. A PNG older than this loop (of an
  /// earlier run) stays. Never raises.
  void RemoveUnconvertedPngs() noexcept;

  /// How long the run may wait for the renderer before the committed pages must be flushed; -1
  /// while none wait.
  int QuietTimeout() const;
  /// The committed pages reach the disk now, and the renderer, which may wait for them, hears of
  /// them.
  void FlushCommitted();
  /// Pages the renderer can be working on now: those it has not yet said anything about that its
  /// pacing lets it start (a page waiting for an earlier one to be consumed keeps no core busy);
  /// 1 while it has not said how many there are (it opens the PDF on one thread).
  int PagesRenderableNow() const;

  /// The renderer has ended (or hears no more): consumed pages are no longer kept for it to write
  /// over, and the spares it did not take are removed.
  void RendererEnded() noexcept;

  /// The PDF's turn has come: shows what was kept and moves the pages committed so far into
  /// place; from now on each page goes into place as it is committed.
  void Publish();
  /// Once the renderer has ended: moves the page files left in the staging folder into the output
  /// folder (as the renderer would have left them there) and goes on there. True when a page
  /// failed in the staging folder: the caller commits the remaining pages now, meeting it again.
  /// Never raises.
  bool LeaveStaging() noexcept;

 private:
  enum class Mode { kInPlace, kStaged, kPublishing };
  // What a PDF rendered ahead would have shown or done, in its order.
  struct Kept {
    enum class Kind { kProgress, kCommitted, kRendered } kind;
    int first;
    int second;
  };
  // A page on its way: being prepared (maybe on a worker thread), committed at its turn.
  struct PageInFlight {
    int page = 0;
    std::string png_path;
    std::string jpg_path;
    long long bytes = 0;  // what preparing it may hold, by its size
    std::future<std::unique_ptr<PreparedPage>> prepared;
    std::shared_ptr<GrowingPage> growing;  // read while the renderer writes it; null: complete
  };
  // A consumed page's file left for the renderer to write a later page over.
  struct Spare {
    int page;
    std::string path;
  };

  bool Takes(int page, bool renderer_ended) const;
  std::string WorkPath(int page, const char* extension) const;
  std::string OutputPath(int page, const char* extension) const;
  void ReportProgress();
  void ReleaseFlushedPages();
  void StartNextPages(bool renderer_ended);
  bool CommitInOrder(bool renderer_ended, bool wait);
  bool Ready(PageInFlight& page) const;
  void WaitServing(PageInFlight& page, bool renderer_ended);
  void Committed(const PageInFlight& page);
  void PublishPage(int page);
  void MoveRenderedPage(int page);
  void Hold(int page);
  void LetGoAnnouncedFrom(int page);
  void Heard(int page);
  void Consume(int page);
  bool MayOfferSpare();
  void LetGoOfPng(int page, const std::string& png) noexcept;
  void LetGoOfFlushedPng(const std::string& png);
  void DiscardInFlight() noexcept;
  void DiscardInFlightFrom(int page) noexcept;
  PageInFlight* GrowingInFlight(int page);

  RunHost& host_;
  PageFolders folders_;
  const RunSettings& settings_;
  renderer::RendererProcess& process_;
  Mode mode_;
  const std::size_t window_;
  const std::launch launch_;
  const std::filesystem::file_time_type started_;  // page files of this renderer are newer
  std::set<int> announced_;                        // announced, not yet being prepared
  int broken_at_ = 0;  // the page where the announced sequence ends; 0 while it does not
  int held_at_ = 0;    // staged: the page whose commit failed; 0 while none did
  int next_prepare_ = 1;
  int next_commit_ = 1;
  long long bytes_in_flight_ = 0;
  int total_ = 0;
  int done_ = 0;
  int heard_ = 0;                     // pages announced or failed
  std::vector<bool> heard_pages_;     // by page number, once the total is known
  std::vector<bool> consumed_pages_;  // the renderer was told it may go on past them
  int first_unheard_ = 1;
  std::vector<Kept> kept_;
  std::vector<int> unflushed_;  // committed, their PNGs not yet deleted nor the renderer told
  std::vector<Spare> spares_;   // offered, maybe taken by now
  bool spares_open_ = true;     // while the renderer may take them
  CommittedPages committed_;    // flushed, and their PNGs deleted, at the latest on the end
  std::function<void(bool renderer_ended)> serve_;
  std::deque<PageInFlight> in_flight_;  // last: its futures are waited for before the rest goes
};

}  // namespace quillamar::batch
