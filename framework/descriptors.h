// Owned POSIX file descriptors and the whole-buffer transfers every writer of ours needs. The
// owner is header-only, so that the renderer shares it without linking framework.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "framework/system_calls.h"  // WriteAll and ReadAll

namespace quillamar {

enum class SeekOrigin;  // framework/streams.h

/// Owns one open descriptor (or none: -1) and closes it when it goes; movable, not copyable.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  /// Hands the descriptor to the caller, who closes it from now on.
  int Release() { return std::exchange(fd_, -1); }
  /// Closes the descriptor now: 0, or the error number of a close that failed (a write the file
  /// system could not complete may show only here).
  int Close() noexcept {
    const int fd = Release();
    return fd < 0 || ::close(fd) == 0 ? 0 : errno;
  }
  /// Closes the descriptor held (keeping errno as it was) and takes fd instead.
  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

/// Closes a folder listing (the owner's deleter).
struct FolderListingCloser {
  void operator()(DIR* folder) const noexcept { ::closedir(folder); }
};
/// An open folder listing, closed when it goes; null when the folder could not be opened.
using FolderListing = std::unique_ptr<DIR, FolderListingCloser>;

inline FolderListing OpenFolderListing(const std::string& path) {
  return FolderListing(::opendir(path.c_str()));
}

/// Moves a descriptor's position; returns the new position, or -1 with errno set when the
/// descriptor cannot seek (a pipe, for instance).
std::int64_t SeekDescriptor(int fd, std::int64_t offset, SeekOrigin origin);

}  // namespace quillamar
