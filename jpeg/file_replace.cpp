// Whole-file replacement through a temporary file in the target's folder.
#include "jpeg/file_replace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <utility>

#include "framework/exceptions.h"
#include "framework/paths.h"
#include "framework/streams.h"

namespace quillamar::jpeg {
namespace {

constexpr int kNameAttempts = 100;

// The file a save replaces: the path as given, for messages, and the file it names, for
// replacing (through a link, the file the link points at, as writing in place would).
struct Target {
  std::string named;
  std::string real;
};

Target ResolveTarget(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return {path, path};
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(path, error);
  return {path, error ? path : real.string()};
}

[[noreturn]] void ThrowCannotCreate(const Target& target, int error) {
  const std::string full = AbsolutePath(target.named);
  throw EFCreateError(
      FormatMessage("Cannot create file \"%s\". %s", full.c_str(), std::strerror(error)));
}

// A descriptor closed when its owner goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return fd_; }

 private:
  int fd_;
};

// Holds an existing target exclusively, so that no other stream of ours reads or writes it
// while it is replaced. A missing target needs no hold.
Descriptor HoldTarget(const Target& target) {
  Descriptor held(::open(target.real.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (held.Get() < 0) {
    if (errno == ENOENT) return Descriptor();
    ThrowCannotCreate(target, errno);
  }
  if (::flock(held.Get(), LOCK_EX | LOCK_NB) != 0) ThrowCannotCreate(target, errno);
  return held;
}

// A new file of a name no one else uses, beside the target, removed unless it was renamed.
class TemporaryFile : public TStream {
 public:
  explicit TemporaryFile(const Target& target) {
    std::string folder = FolderOf(target.real);
    if (folder.empty()) folder = ".";
    if (folder.back() != '/') folder += '/';
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
      path_ = folder + ".quillamar-" + std::to_string(::getpid()) + "-" +
              std::to_string(counter++) + "-" + std::to_string(stamp % 1000000) + ".tmp";
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0) return;
      if (errno != EEXIST) break;
    }
    ThrowCannotCreate(target, errno);
  }
  ~TemporaryFile() override {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_) ::unlink(path_.c_str());
  }

  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    const auto* next = static_cast<const std::uint8_t*>(buffer);
    std::int64_t left = count;
    while (left > 0) {
      const ssize_t put = ::write(fd_, next, static_cast<std::size_t>(left));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;
      next += put;
      left -= put;
    }
    return count - left;
  }
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override {
    const int whence = origin == SeekOrigin::kBeginning ? SEEK_SET
                       : origin == SeekOrigin::kCurrent ? SEEK_CUR
                                                        : SEEK_END;
    return ::lseek(fd_, static_cast<off_t>(offset), whence);
  }

  /// Gives the file the permissions of the file it replaces, as writing in place would keep them.
  void TakeModeOf(const Descriptor& held) {
    struct stat info {};
    if (held.Get() >= 0 && ::fstat(held.Get(), &info) == 0) ::fchmod(fd_, info.st_mode & 07777);
  }

  /// Closes the file (a failed close loses bytes: EWriteError) and renames it over the target.
  void RenameOver(const Target& target) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw EWriteError();
    if (::rename(path_.c_str(), target.real.c_str()) != 0) ThrowCannotCreate(target, errno);
    renamed_ = true;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool renamed_ = false;
};

}  // namespace

void ReplaceFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                 const StreamWrapper& wrap) {
  const Target target = ResolveTarget(path);
  const Descriptor held = HoldTarget(target);
  TemporaryFile file(target);
  file.TakeModeOf(held);
  if (wrap) {
    wrap(file)->WriteBuffer(bytes, static_cast<std::int64_t>(size));
  } else {
    file.WriteBuffer(bytes, static_cast<std::int64_t>(size));
  }
  file.RenameOver(target);
}

}  // namespace quillamar::jpeg
