// Owned descriptors and the retrying read and write loops.
#include "framework/descriptors.h"

#include <unistd.h>

#include <cerrno>

#include "framework/streams.h"

namespace quillamar {

void FileDescriptor::Reset(int fd) noexcept {
  if (fd_ >= 0) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

std::size_t WriteAll(int fd, const void* bytes, std::size_t count) {
  const auto* next = static_cast<const std::uint8_t*>(bytes);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t put = ::write(fd, next + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += static_cast<std::size_t>(put);
  }
  return done;
}

std::size_t ReadAll(int fd, void* bytes, std::size_t count) {
  auto* next = static_cast<std::uint8_t*>(bytes);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::read(fd, next + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::int64_t SeekDescriptor(int fd, std::int64_t offset, SeekOrigin origin) {
  int whence = SEEK_SET;
  if (origin == SeekOrigin::kCurrent) whence = SEEK_CUR;
  if (origin == SeekOrigin::kEnd) whence = SEEK_END;
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}

}  // namespace quillamar
