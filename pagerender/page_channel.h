// The renderer's side of the run's page channel: announcing pages and pacing by page number.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "contract/page_channel.h"
#include "framework/descriptors.h"

namespace quillamar::pagerender {

/// Announces pages to the run and waits for the run to consume them. Every call is safe from any
/// worker thread. A channel whose run has gone away announces nothing more and paces no more.
class PageChannel {
 public:
  /// window 0 means no pacing.
  PageChannel(int read_fd, int write_fd, int window);
  ~PageChannel() = default;
  PageChannel(const PageChannel&) = delete;
  PageChannel& operator=(const PageChannel&) = delete;

  /// The channel named by the environment, or null when there is none.
  static std::unique_ptr<PageChannel> FromEnvironment();

  void AnnouncePageCount(int pages);
  /// Page (from 1) is complete under its final name.
  void AnnounceDone(int page);
  /// Page is being written from its start into temporary file number `file`, new and growing.
  void AnnounceGrowing(int page, unsigned file);
  /// Page has no file and will have none: it paces nothing from now on.
  void AnnounceFailed(int page);
  /// Waits until page may start (page - window consumed or failed). False when stop became true.
  /// Takes in the run's replies that have come, whether it waits or not.
  bool AwaitTurn(int page, const std::atomic<bool>* stop);
  /// The workers the run has granted so far; 0 while it has granted none.
  int GrantedWorkers();
  /// A page whose file the run offers as a spare, each once, the oldest first; 0 when none is on
  /// offer. Takes in the replies that have come.
  int TakeSpare();
  /// The pacing window; 0 when not paced.
  int Window() const { return window_; }

 private:
  void Send(const contract::ChannelMessage& message);
  bool MayStart(int page) const;
  void MarkReleased(int page);
  void ReadReplies(std::unique_lock<std::mutex>& lock, int timeout_ms);
  void TakeReply(const contract::ChannelMessage& reply);

  const FileDescriptor read_fd_;
  const FileDescriptor write_fd_;
  const int window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> released_;  ///< by page number: consumed by the run, or failed here
  int granted_workers_ = 0;
  std::deque<int> spares_;
  contract::ChannelLines replies_;  ///< what the run has said, a line read in part included
  bool reading_ = false;            ///< one waiter reads the replies for all
  bool run_gone_ = false;
};

}  // namespace quillamar::pagerender
