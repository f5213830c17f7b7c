// Streams over files (POSIX descriptors) and over memory.
#include "framework/streams.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "framework/exceptions.h"
#include "framework/paths.h"

namespace quillamar {

std::int64_t TStream::Size() {
  const std::int64_t here = Position();
  const std::int64_t end = Seek(0, SeekOrigin::kEnd);
  SetPosition(here);
  return end;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EWriteError();
}

namespace {

int WhenceOf(SeekOrigin origin) {
  switch (origin) {
    case SeekOrigin::kBeginning:
      return SEEK_SET;
    case SeekOrigin::kCurrent:
      return SEEK_CUR;
    case SeekOrigin::kEnd:
      return SEEK_END;
  }
  return SEEK_SET;
}

// Opens the file and takes the advisory lock that stands for its sharing mode; returns -1 with
// errno set on failure.
int OpenShared(const std::string& path, FileMode mode) {
  const bool create = mode == FileMode::kCreate;
  const int flags = create ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return -1;
  if (!create) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
      ::close(fd);
      errno = EISDIR;
      return -1;
    }
  }
  if (::flock(fd, (create ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  // Emptied only once this writer holds the file alone.
  if (create && ::ftruncate(fd, 0) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

TFileStream::TFileStream(const std::string& path, FileMode mode) {
  fd_ = OpenShared(path, mode);
  if (fd_ >= 0) return;
  const std::string reason = std::strerror(errno);
  const std::string full = AbsolutePath(path);
  if (mode == FileMode::kCreate) {
    throw EFCreateError(
        FormatMessage("Cannot create file \"%s\". %s", full.c_str(), reason.c_str()));
  }
  throw EFOpenError(FormatMessage("Cannot open file \"%s\". %s", full.c_str(), reason.c_str()));
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  while (done < count) {
    const ssize_t got = ::read(fd_, bytes + done, static_cast<std::size_t>(count - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  while (done < count) {
    const ssize_t put = ::write(fd_, bytes + done, static_cast<std::size_t>(count - done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += put;
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), WhenceOf(origin));
  return at < 0 ? Position() : at;
}

bool TFileStream::Flush() { return ::fsync(fd_) == 0; }

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  const std::int64_t available = std::max<std::int64_t>(0, size_ - position_);
  const std::int64_t n = std::clamp<std::int64_t>(count, 0, available);
  if (n > 0) std::memcpy(buffer, data_.get() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = position_ + count;
  if (end > capacity_) Reserve(std::max(end, capacity_ + capacity_ / 2 + 4096));
  std::memcpy(data_.get() + position_, buffer, static_cast<std::size_t>(count));
  position_ = end;
  size_ = std::max(size_, end);
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == SeekOrigin::kCurrent) base = position_;
  if (origin == SeekOrigin::kEnd) base = size_;
  position_ = std::max<std::int64_t>(0, base + offset);
  return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
  size = std::max<std::int64_t>(0, size);
  if (size > capacity_) Reserve(size);
  size_ = size;
  position_ = std::min(position_, size_);
}

void TMemoryStream::Reserve(std::int64_t capacity) {
  std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[capacity]);
  if (!grown) throw EStreamError("Out of memory while expanding memory stream");
  if (size_ > 0) std::memcpy(grown.get(), data_.get(), static_cast<std::size_t>(size_));
  data_ = std::move(grown);
  capacity_ = capacity;
}

}  // namespace quillamar
