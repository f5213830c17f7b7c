// Seeking on descriptors.
#include "framework/descriptors.h"

#include <unistd.h>

#include "framework/streams.h"

namespace quillamar {

std::int64_t SeekDescriptor(int fd, std::int64_t offset, SeekOrigin origin) {
  int whence = SEEK_SET;
  if (origin == SeekOrigin::kCurrent) whence = SEEK_CUR;
  if (origin == SeekOrigin::kEnd) whence = SEEK_END;
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}

}  // namespace quillamar
