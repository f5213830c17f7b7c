// Owned descriptors and seeking on them.
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

std::int64_t SeekDescriptor(int fd, std::int64_t offset, SeekOrigin origin) {
  int whence = SEEK_SET;
  if (origin == SeekOrigin::kCurrent) whence = SEEK_CUR;
  if (origin == SeekOrigin::kEnd) whence = SEEK_END;
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}

}  // namespace quillamar
