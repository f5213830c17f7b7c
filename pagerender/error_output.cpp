// The one place the renderer writes its error line to: standard error or a copy of it.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "pagerender/pagerender.h"

namespace quillamar::pagerender {
namespace {

std::atomic<int> error_output{STDERR_FILENO};

}  // namespace

void SetErrorOutput(int fd) noexcept { error_output.store(fd); }

void WriteError(const char* text) noexcept {
  const int fd = error_output.load();
  std::size_t length = std::strlen(text);
  while (length > 0) {
    const ssize_t put = ::write(fd, text, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    text += put;
    length -= static_cast<std::size_t>(put);
  }
}

}  // namespace quillamar::pagerender
