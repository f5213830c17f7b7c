// The run's end of the page channel: the renderer's announcements as they come, the run's replies.
// Internal to renderer/.
#pragma once

#include <optional>

#include "contract/page_channel.h"
#include "framework/descriptors.h"
#include "renderer/renderer.h"

namespace quillamar::renderer {

/// A stream socket to one renderer. The renderer's end is handed to it at kChildChannelFd.
class RunChannel {
 public:
  /// Opens both ends; the renderer's is placed above the numbers that the child's own
  /// descriptors take, so that placing it cannot clobber another. Invalid ends when it cannot.
  static RunChannel Open();

  /// The renderer's end, for its start; ours keeps working after it is closed.
  FileDescriptor& Theirs() { return theirs_; }
  /// Our end; -1 once closed.
  int Descriptor() const { return ours_.Get(); }
  /// Reads what has come without waiting; false at the channel's end.
  bool Read();
  /// Reads everything left (written before the renderer ended) and closes our end.
  void Drain();
  void Close() { ours_.Reset(); }
  /// The next announcement read, if a whole one has come.
  std::optional<PageEvent> NextEvent();
  /// Tells the renderer something; a renderer that does not read its replies is simply not
  /// paced, nor granted workers.
  void Reply(contract::ChannelMessage::Kind kind, int number);

 private:
  FileDescriptor ours_;
  FileDescriptor theirs_;
  contract::ChannelLines lines_;
};

}  // namespace quillamar::renderer
