// Reads the PDF's password from the descriptor the run hands over, never from the arguments.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "framework/descriptors.h"
#include "pagerender/pagerender.h"

namespace quillamar::pagerender {
namespace {

// The descriptor number the variable names, or -1 when it names none.
int PasswordDescriptor() {
  const char* text = std::getenv(contract::kPasswordFdEnv);
  if (text == nullptr) return -1;
  const char* end = text + std::strlen(text);
  int fd = -1;
  const auto [stop, error] = std::from_chars(text, end, fd);
  // The standard streams are never the password's: they belong to the run.
  if (error != std::errc() || stop != end || fd <= STDERR_FILENO) return -1;
  return fd;
}

}  // namespace

std::optional<std::string> TakePassword() {
  const int fd = PasswordDescriptor();
  if (fd < 0) return std::nullopt;
  std::string password;
  char buffer[512];
  bool readable = true;
  const FileDescriptor owned(fd);
  while (password.size() < kMaxPasswordBytes) {
    const ssize_t got = RetryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (got < 0) readable = false;
    if (got <= 0) break;
    password.append(buffer, static_cast<std::size_t>(got));
  }
  if (!readable) return std::nullopt;
  if (password.size() > kMaxPasswordBytes) password.resize(kMaxPasswordBytes);
  return password;
}

}  // namespace quillamar::pagerender
