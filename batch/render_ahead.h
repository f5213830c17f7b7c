// Renderers started ahead of their PDF's turn while cores are idle, into a staging folder inside
// the output folder; their pages are re-encoded there and wait for the turn.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "batch/page_loop.h"
#include "batch/staging.h"
#include "framework/string_list.h"

namespace quillamar::batch {

/// A PDF whose renderer was started ahead of its turn.
struct StagedPdf {
  int index = 0;
  std::string folder;  ///< its own folder in the staging folder, where its renderer writes
  RenderTexts texts;   ///< what its renderer was started with
  int workers = 1;
  std::unique_ptr<renderer::RendererProcess> process;  ///< null: it could not be started
  std::unique_ptr<PageLoop> pages;
  bool ended = false;  ///< the renderer has ended and `outcome` says how
  renderer::RenderOutcome outcome;

  /// The cores its renderer may keep busy: its workers, fewer once fewer pages are left.
  int Claim() const;
  /// Its turn has come: its renderer, started on the cores the others left, may use them all.
  void GrantCores(int jobs);
};

/// The renderers started ahead of their turn. Everything they do stays out of the host's sight
/// until the turn takes the PDF; when this goes, every renderer still here is stopped and reaped
/// and the staging folder is removed.
class RenderAhead {
 public:
  /// Nothing is started ahead with a single job, or when the staging folder cannot be made.
  RenderAhead(RunHost& host, const TStringList& pdfs, const RunSettings& settings,
              RendererSource renderers);
  ~RenderAhead();
  RenderAhead(const RenderAhead&) = delete;
  RenderAhead& operator=(const RenderAhead&) = delete;

  /// The PDF at index takes its turn: its staged state, up to date, or null when it was not
  /// started ahead. Only later PDFs are started ahead from now on.
  std::unique_ptr<StagedPdf> TakeTurn(int index);
  /// Serves the renderers started ahead, without waiting for them, and starts more while those
  /// running leave cores idle; current_claim is what the current PDF's renderer keeps busy.
  void Serve(int current_claim);
  /// The cores the renderers started ahead keep busy.
  int Claimed() const;
  /// Pages of theirs are being prepared: they are served again soon, whatever else happens.
  bool Preparing() const;
  /// The descriptors on which the renderers started ahead have something to say.
  std::vector<int> WakeDescriptors() const;
  /// A staged PDF that its turn does not use: its renderer is stopped and reaped and its files
  /// are removed.
  static void DiscardStaged(StagedPdf& staged) noexcept;

 private:
  void Follow(StagedPdf& staged);
  void StartMore(int claimed);
  std::size_t Rendering() const;
  int NextToStart() const;
  std::unique_ptr<StagedPdf> Start(int index, int workers);
  static void Abandon(StagedPdf& staged) noexcept;

  RunHost& host_;
  const TStringList& pdfs_;
  const RunSettings& settings_;
  const RendererSource renderers_;
  const int jobs_;
  RenderTexts texts_;
  std::vector<bool> startable_;  // not a later PDF of a base name seen before
  std::unique_ptr<StagingFolder> staging_;
  std::vector<std::unique_ptr<StagedPdf>> staged_;  // in PDF order
  int current_ = -1;
  int started_up_to_ = -1;  // the last PDF started ahead or passed
};

}  // namespace quillamar::batch
