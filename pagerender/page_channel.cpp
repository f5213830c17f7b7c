// Announcing finished pages on the run's channel and holding workers back until the run catches up.
#include "pagerender/page_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "contract/renderer_contract.h"
#include "framework/system_calls.h"

namespace quillamar::pagerender {
namespace {

using Kind = contract::ChannelMessage::Kind;

// How often a waiting reader looks at the stop flag.
constexpr int kStopPollMilliseconds = 100;
// Spares remembered at most; the run offers no more than a couple at a time.
constexpr std::size_t kMostSpares = 8;

bool ParseNumber(const char* begin, const char* end, int& value) {
  const auto [rest, error] = std::from_chars(begin, end, value);
  return error == std::errc() && rest == end;
}

bool IsOpen(int fd) { return fd >= 0 && ::fcntl(fd, F_GETFD) >= 0; }

// Parses "R,W" into two open descriptors.
bool ParseDescriptors(const char* text, int& read_fd, int& write_fd) {
  const char* end = text + std::strlen(text);
  const char* comma = std::strchr(text, ',');
  return comma != nullptr && ParseNumber(text, comma, read_fd) &&
         ParseNumber(comma + 1, end, write_fd) && IsOpen(read_fd) && IsOpen(write_fd);
}

int WindowFromEnvironment() {
  const char* text = std::getenv(contract::kPageWindowEnv);
  int window = 0;
  if (text == nullptr || !ParseNumber(text, text + std::strlen(text), window)) return 0;
  return window > 0 ? window : 0;
}

}  // namespace

PageChannel::PageChannel(int read_fd, int write_fd, int window)
    : read_fd_(read_fd), write_fd_(write_fd), window_(window) {}

std::unique_ptr<PageChannel> PageChannel::FromEnvironment() {
  const char* text = std::getenv(contract::kPageChannelEnv);
  int read_fd = -1;
  int write_fd = -1;
  if (text == nullptr || !ParseDescriptors(text, read_fd, write_fd)) return nullptr;
  // Our own children (if a library starts any) must not keep the run's channel open.
  ::fcntl(read_fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(write_fd, F_SETFD, FD_CLOEXEC);
  return std::make_unique<PageChannel>(read_fd, write_fd, WindowFromEnvironment());
}

void PageChannel::AnnouncePageCount(int pages) { Send({Kind::kPageCount, pages}); }

void PageChannel::AnnounceDone(int page) { Send({Kind::kPageDone, page}); }

void PageChannel::AnnounceGrowing(int page, unsigned file) {
  Send({Kind::kPageGrowing, page, file});
}

void PageChannel::AnnounceFailed(int page) {
  Send({Kind::kPageFailed, page});
  const std::lock_guard lock(mutex_);
  MarkReleased(page);
  changed_.notify_all();
}

void PageChannel::Send(const contract::ChannelMessage& message) {
  const std::string line = contract::FormatChannelLine(message);
  const std::lock_guard lock(mutex_);
  if (run_gone_) return;
  // Shorter than the pipe's atomic size: written whole or not at all.
  const ssize_t put =
      RetryOnInterrupt([&] { return ::write(write_fd_.Get(), line.data(), line.size()); });
  if (put != static_cast<ssize_t>(line.size())) run_gone_ = true;
}

bool PageChannel::MayStart(int page) const {
  const int gate = page - window_;
  return window_ == 0 || run_gone_ || gate < 1 ||
         (static_cast<std::size_t>(gate) < released_.size() && released_[gate]);
}

void PageChannel::MarkReleased(int page) {
  if (page < 1) return;
  if (released_.size() <= static_cast<std::size_t>(page)) released_.resize(page + 1, false);
  released_[page] = true;
}

bool PageChannel::AwaitTurn(int page, const std::atomic<bool>* stop) {
  std::unique_lock lock(mutex_);
  // What has come already, so that a grant of workers is heard by a renderer never held back.
  if (!reading_ && !run_gone_) ReadReplies(lock, 0);
  for (;;) {
    if (stop != nullptr && stop->load()) return false;
    if (MayStart(page)) return true;
    if (reading_) {
      changed_.wait_for(lock, std::chrono::milliseconds(kStopPollMilliseconds));
      continue;
    }
    ReadReplies(lock, kStopPollMilliseconds);
  }
}

int PageChannel::GrantedWorkers() {
  const std::lock_guard lock(mutex_);
  return granted_workers_;
}

int PageChannel::TakeSpare() {
  std::unique_lock lock(mutex_);
  if (!reading_ && !run_gone_) ReadReplies(lock, 0);
  if (spares_.empty()) return 0;
  const int page = spares_.front();
  spares_.pop_front();
  return page;
}

// Reads what the run has replied so far (waiting up to timeout_ms for more), with the lock
// released while it waits; the other workers wait for this one.
void PageChannel::ReadReplies(std::unique_lock<std::mutex>& lock, int timeout_ms) {
  reading_ = true;
  lock.unlock();
  char buffer[256];
  pollfd watched{read_fd_.Get(), POLLIN, 0};
  ssize_t got = 0;
  const bool ready = ::poll(&watched, 1, timeout_ms) > 0;
  if (ready) got = RetryOnInterrupt([&] { return ::read(read_fd_.Get(), buffer, sizeof buffer); });
  lock.lock();
  reading_ = false;
  if (ready && got <= 0) run_gone_ = true;  // the run closed its end: nobody paces us any more
  if (got > 0) replies_.Append(buffer, static_cast<std::size_t>(got));
  while (const std::optional<contract::ChannelMessage> reply = replies_.Next()) TakeReply(*reply);
  changed_.notify_all();
}

// One message of the run's: a page it consumed, one it offers as a spare, or the workers it grants.
void PageChannel::TakeReply(const contract::ChannelMessage& reply) {
  switch (reply.kind) {
    case Kind::kConsumed:
      MarkReleased(reply.number);
      break;
    case Kind::kWorkers:
      granted_workers_ = std::max(granted_workers_, reply.number);
      break;
    case Kind::kSpare:
      if (reply.number > 0 && spares_.size() < kMostSpares) spares_.push_back(reply.number);
      break;
    default:
      break;  // the renderer's own words, not the run's
  }
}

}  // namespace quillamar::pagerender
