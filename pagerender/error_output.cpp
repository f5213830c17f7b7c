// The one place the renderer writes its error line to: standard error or a copy of it.
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "framework/system_calls.h"
#include "pagerender/pagerender.h"

namespace quillamar::pagerender {
namespace {

std::atomic<int> error_output{STDERR_FILENO};

}  // namespace

void SetErrorOutput(int fd) noexcept { error_output.store(fd); }

void WriteError(const char* text) noexcept {
  WriteAll(error_output.load(), text, std::strlen(text));
}

}  // namespace quillamar::pagerender
