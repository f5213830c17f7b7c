// The pages of one PDF on their way from the renderer's page files to their final files.
#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "batch/committed_pages.h"
#include "batch/growing_page.h"
#include "batch/page_names.h"
#include "batch/page_pacing.h"
#include "batch/prepare_queue.h"
#include "batch/run_rules.h"
#include "batch/spare_files.h"
#include "batch/staged_events.h"
#include "renderer/renderer.h"

namespace quillamar::batch {

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

  /// How a page done is committed: after the pages before it, waiting for them to be prepared
  /// (the PDF at its turn), or only as far as they are prepared (a PDF ahead of its turn, for
  /// which the run never waits).
  enum class Commits { kWaiting, kReadyOnly };
  /// Takes one of the renderer's page events (the count, a page done, failed or growing) for
  /// pages that become JPEG (reencode) or stay PNG; other events are the caller's. False when a
  /// stop ended the commits.
  bool Take(const renderer::PageEvent& event, bool reencode, Commits commits);
  /// Commits the announced pages that are next in order; false when a stop ended it.
  bool CommitAnnounced() { return CommitInOrder(false, true); }
  /// After the renderer has ended (RendererEnded): the remaining pages until the first missing
  /// number.
  bool CommitRemaining() { return CommitInOrder(true, true); }
  /// Commits the announced pages that are next in order and already prepared, without waiting
  /// for the others; false when a stop ended it.
  bool CommitReady() { return CommitInOrder(false, false); }
  /// Pages are being prepared.
  bool HasPagesInFlight() const { return !in_flight_.Empty(); }
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
  // The events Take dispatches.
  void SetTotal(int pages);
  // A page announced while pages stay PNG: counted (and moved into place once published).
  void Rendered(int page);
  // Page's file is complete. A page the loop will never take is let go at once, so that the
  // renderer is not held back by it.
  void Announced(int page);
  // Page will have no file: the loop ends there, as it would at a missing number.
  void Failed(int page);
  // Page's file is being written as file_name in the folder worked in (a huge page). When it is
  // the next to prepare and nothing else is being prepared, it is read while it grows; it is
  // committed only once announced.
  void Growing(int page, const std::string& file_name);

  bool Takes(int page, bool renderer_ended) const;
  std::string WorkPath(int page, const char* extension) const;
  std::string OutputPath(int page, const char* extension) const;
  void ReportProgress();
  void ReleaseFlushedPages();
  void StartNextPages(bool renderer_ended);
  bool CommitInOrder(bool renderer_ended, bool wait);
  void WaitServing(bool renderer_ended);
  void Committed(const PageInFlight& page);
  void PublishPage(int page);
  void MoveRenderedPage(int page);
  void Hold(int page);
  void LetGoAnnouncedFrom(int page);
  void Consume(int page);
  void LetGoOfPng(int page, const std::string& png) noexcept;
  void LetGoOfFlushedPng(const std::string& png);
  void DiscardInFlight() noexcept;
  void DiscardInFlightFrom(int page) noexcept;

  RunHost& host_;
  PageFolders folders_;
  const RunSettings& settings_;
  renderer::RendererProcess& process_;
  Mode mode_;
  const std::filesystem::file_time_type started_;  // page files of this renderer are newer
  std::set<int> announced_;                        // announced, not yet being prepared
  int broken_at_ = 0;  // the page where the announced sequence ends; 0 while it does not
  int held_at_ = 0;    // staged: the page whose commit failed; 0 while none did
  int next_prepare_ = 1;
  int next_commit_ = 1;
  int total_ = 0;
  int done_ = 0;
  PagePacing pacing_;
  StagedEvents kept_;
  std::vector<int> unflushed_;  // committed, their PNGs not yet deleted nor the renderer told
  SpareFiles spares_;
  CommittedPages committed_;  // flushed, and their PNGs deleted, at the latest on the end
  std::function<void(bool renderer_ended)> serve_;
  PrepareQueue in_flight_;  // last: its pages are waited for before the rest goes
};

}  // namespace quillamar::batch
