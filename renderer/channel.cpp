// Reading the renderer's announcements and sending the run's replies on the page channel.
#include "renderer/channel.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

#include "framework/system_calls.h"
#include "renderer/child.h"

namespace quillamar::renderer {

using contract::ChannelMessage;

RunChannel RunChannel::Open() {
  RunChannel channel;
  int pair[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return channel;
  FileDescriptor ours(pair[0]);
  const FileDescriptor raw(pair[1]);
  FileDescriptor theirs(::fcntl(raw.Get(), F_DUPFD_CLOEXEC, kChildChannelFd + 1));
  if (!theirs.Valid()) return channel;
  channel.ours_ = std::move(ours);
  channel.theirs_ = std::move(theirs);
  return channel;
}

bool RunChannel::Read() {
  char buffer[4096];
  const ssize_t got =
      RetryOnInterrupt([&] { return ::recv(ours_.Get(), buffer, sizeof buffer, MSG_DONTWAIT); });
  if (got > 0) {
    lines_.Append(buffer, static_cast<std::size_t>(got));
    errno = 0;
    return true;
  }
  return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void RunChannel::Drain() {
  while (ours_.Valid() && Read()) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
  }
  ours_.Reset();
}

std::optional<PageEvent> RunChannel::NextEvent() {
  while (const std::optional<ChannelMessage> message = lines_.Next()) {
    switch (message->kind) {
      case ChannelMessage::Kind::kPageCount:
        return PageEvent{PageEvent::Kind::kPageCount, message->number};
      case ChannelMessage::Kind::kPageDone:
        return PageEvent{PageEvent::Kind::kPageDone, message->number};
      case ChannelMessage::Kind::kPageFailed:
        return PageEvent{PageEvent::Kind::kPageFailed, message->number};
      case ChannelMessage::Kind::kPageGrowing:
        return PageEvent{PageEvent::Kind::kPageGrowing, message->number, message->file};
      default:
        break;  // the run's own words, not the renderer's: ignored
    }
  }
  return std::nullopt;
}

void RunChannel::Reply(ChannelMessage::Kind kind, int number) {
  if (!ours_.Valid()) return;
  const std::string line = contract::FormatChannelLine({kind, number});
  RetryOnInterrupt(
      [&] { return ::send(ours_.Get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
}

}  // namespace quillamar::renderer
