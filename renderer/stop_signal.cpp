// The stop flag and its wake-up pipe, safe to raise from a signal handler.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "renderer/renderer.h"

namespace quillamar::renderer {

StopSignal::StopSignal() {
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  wake_read_.Reset(ends[0]);
  wake_write_.Reset(ends[1]);
}

StopSignal::~StopSignal() = default;

void StopSignal::Request() noexcept {
  const int saved_errno = errno;  // may run inside a signal handler
  requested_.store(true);
  if (wake_write_.Valid()) {
    [[maybe_unused]] const ssize_t ignored = ::write(wake_write_.Get(), "s", 1);
  }
  errno = saved_errno;
}

void StopSignal::Reset() noexcept {
  requested_.store(false);
  char drain[64];
  while (wake_read_.Valid() && ::read(wake_read_.Get(), drain, sizeof drain) > 0) {
  }
}

}  // namespace quillamar::renderer
