// The pages of one PDF being prepared ahead of their commit, within the jobs and the memory budget.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "batch/batch.h"
#include "batch/growing_page.h"

namespace quillamar::batch {

/// A page on its way: being prepared (maybe on a worker thread), committed at its turn.
struct PageInFlight {
  int page = 0;
  std::string png_path;
  std::string jpg_path;
  long long bytes = 0;  ///< what preparing it may hold, by its size
  std::future<std::unique_ptr<PreparedPage>> prepared;
  std::shared_ptr<GrowingPage> growing;  ///< read while the renderer writes it; null: complete
};

/// The pages being prepared, in page order: at most `window` at once, together within `budget`
/// bytes (one page always may be). With a window of one nothing runs ahead: a page is prepared
/// when it is taken. Free of processes: the page loop says what to prepare and when.
class PrepareQueue {
 public:
  using Prepare = std::function<std::unique_ptr<PreparedPage>()>;

  PrepareQueue(std::size_t window, long long budget);
  /// Waits for the pages still being prepared.
  ~PrepareQueue() { DiscardFrom(0); }
  PrepareQueue(const PrepareQueue&) = delete;
  PrepareQueue& operator=(const PrepareQueue&) = delete;

  /// Pages are prepared on worker threads.
  bool Ahead() const { return launch_ == std::launch::async; }
  bool Empty() const { return pages_.empty(); }
  /// As many pages as the window holds are being prepared.
  bool Full() const { return pages_.size() >= window_; }
  /// A page that may hold this many bytes may start now.
  bool HasRoomFor(long long bytes) const;
  /// Starts preparing the page (its bytes counted until it is taken).
  void Start(PageInFlight page, Prepare prepare);
  /// Starts reading a page while it grows, on a worker thread, counted as the whole budget.
  void StartGrowing(PageInFlight page, Prepare prepare);

  /// The first page in page order.
  PageInFlight& Front() { return pages_.front(); }
  /// The first page is prepared; a page prepared when taken counts as ready.
  bool FrontReady() const;
  /// Takes the first page out.
  PageInFlight TakeFront();
  /// The page being read while it grows, or null.
  PageInFlight* Growing(int page);
  /// The first page read while it grows that is not yet complete; 0 when none is.
  int FirstIncompleteGrowing() const;
  /// Abandons the pages from this one on that are read while they grow, waits for those being
  /// prepared and forgets them: nothing of theirs was written. Never raises.
  void DiscardFrom(int page) noexcept;

 private:
  void Push(PageInFlight page, std::launch launch, Prepare prepare);

  const std::size_t window_;
  const long long budget_;
  const std::launch launch_;
  long long bytes_ = 0;
  std::deque<PageInFlight> pages_;
};

}  // namespace quillamar::batch
