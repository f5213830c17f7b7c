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

// Opens the file and takes the advisory lock that stands for its sharing mode; an invalid
// descriptor with errno set on failure. The open never waits: a named pipe without a writer
// would block a plain open for good.
FileDescriptor OpenShared(const std::string& path, FileMode mode) {
  const bool create = mode == FileMode::kCreate;
  const int flags = (create ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  FileDescriptor fd(::open(path.c_str(), flags, 0666));
  if (!fd.Valid()) return fd;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) return FileDescriptor();
  if (!create && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return FileDescriptor();
  }
  if (::flock(fd.Get(), (create ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) return FileDescriptor();
  // Emptied only once this writer holds the file alone.
  if (create && ::ftruncate(fd.Get(), 0) != 0) return FileDescriptor();
  return fd;
}

}  // namespace

EFCreateError CannotCreateFileError(const std::string& path, int error_number) {
  return EFCreateError(FormatMessage("Cannot create file \"%s\". %s", AbsolutePath(path).c_str(),
                                     std::strerror(error_number)));
}

EFOpenError CannotOpenFileError(const std::string& path, int error_number) {
  return EFOpenError(FormatMessage("Cannot open file \"%s\". %s", AbsolutePath(path).c_str(),
                                   std::strerror(error_number)));
}

TFileStream::TFileStream(const std::string& path, FileMode mode)
    : mode_(mode), fd_(OpenShared(path, mode)) {
  if (fd_.Valid()) return;
  const int error = errno;
  if (mode == FileMode::kCreate) throw CannotCreateFileError(path, error);
  throw CannotOpenFileError(path, error);
}

TFileStream::~TFileStream() = default;

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  return static_cast<std::int64_t>(ReadAll(fd_.Get(), buffer, static_cast<std::size_t>(count)));
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  return static_cast<std::int64_t>(WriteAll(fd_.Get(), buffer, static_cast<std::size_t>(count)));
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
  const std::int64_t at = SeekDescriptor(fd_.Get(), offset, origin);
  if (at >= 0) return at;
  // A pipe or a device cannot seek; there is no position to fall back on.
  if (mode_ == FileMode::kCreate) throw EWriteError();
  throw EReadError();
}

bool TFileStream::Flush() { return ::fsync(fd_.Get()) == 0; }

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
