// A page file that the renderer is still writing, read as it grows.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "batch/batch.h"
#include "framework/descriptors.h"
#include "framework/streams.h"

namespace quillamar::batch {

/// The renderer's temporary file of one page, opened while the renderer writes it from its start.
/// Its bytes up to the current end are final; the run says when the renderer has announced the
/// page complete, or that it never will be.
class GrowingPage {
 public:
  /// The temporary at path, when it is a regular file that can be opened; null otherwise.
  static std::shared_ptr<GrowingPage> Open(const std::string& path);
  explicit GrowingPage(FileDescriptor fd) : fd_(std::move(fd)) {}

  /// The renderer has announced the page complete: the file ends where it ends now.
  void MarkComplete() { Settle(State::kComplete); }
  /// The page will never be complete: a reader waiting at the end gives up.
  void Abandon() { Settle(State::kAbandoned); }
  bool Complete();
  /// Waits until the page is settled: true when it is complete.
  bool AwaitSettled();
  /// Reads from the start; at the end of what is written it waits for more until the page is
  /// settled. Only the reading thread uses the stream.
  std::unique_ptr<TStream> Stream();

 private:
  enum class State { kGrowing, kComplete, kAbandoned };
  class Reader;
  void Settle(State state);
  // Waits a moment for more bytes: false once the page is settled (a last look is due).
  bool AwaitMore();

  FileDescriptor fd_;
  std::mutex mutex_;
  std::condition_variable settled_;
  State state_ = State::kGrowing;
};

/// Reads a page PNG from the stream and encodes it, as PreparePngToJpg does from a file; raises
/// what that raises (of a stream cut short by an abandoned page, too).
std::unique_ptr<PreparedPage> PrepareStreamedPngToJpg(TStream& png, const std::string& jpg_path);

}  // namespace quillamar::batch
