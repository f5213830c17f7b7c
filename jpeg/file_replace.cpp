// Whole-file replacement through a temporary file in the target's folder.
#include "jpeg/file_replace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "framework/descriptors.h"
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
  throw CannotCreateFileError(target.named, error);
}

// Holds an existing target exclusively, so that no other stream of ours reads or writes it
// while it is replaced. A missing target needs no hold.
FileDescriptor HoldTarget(const Target& target) {
  FileDescriptor held(::open(target.real.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!held.Valid()) {
    if (errno == ENOENT) return FileDescriptor();
    ThrowCannotCreate(target, errno);
  }
  if (::flock(held.Get(), LOCK_EX | LOCK_NB) != 0) ThrowCannotCreate(target, errno);
  return held;
}

// The folder of path with a final "/", "./" when it has none.
std::string FolderPrefix(const std::string& path) {
  std::string folder = FolderOf(path);
  if (folder.empty()) return "./";
  if (folder.back() != '/') folder.push_back('/');
  return folder;
}

// A new file of a name no one else uses, beside the target, removed unless it was renamed.
class TemporaryFile : public TStream {
 public:
  explicit TemporaryFile(const Target& target) {
    const std::string folder = FolderPrefix(target.real);
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
      path_ = folder + ".quillamar-" + std::to_string(::getpid()) + "-" +
              std::to_string(counter++) + "-" + std::to_string(stamp % 1000000) + ".tmp";
      fd_.Reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd_.Valid()) return;
      if (errno != EEXIST) break;
    }
    ThrowCannotCreate(target, errno);
  }
  ~TemporaryFile() override {
    fd_.Reset();
    if (!renamed_) ::unlink(path_.c_str());
  }

  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    if (count <= 0) return 0;
    errno = 0;
    const std::size_t written = WriteAll(fd_.Get(), buffer, static_cast<std::size_t>(count));
    if (written < static_cast<std::size_t>(count)) write_error_ = errno != 0 ? errno : EIO;
    return static_cast<std::int64_t>(written);
  }
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override {
    return SeekDescriptor(fd_.Get(), offset, origin);
  }

  /// Gives the file the permissions of the file it replaces, as writing in place would keep them.
  void TakeModeOf(const FileDescriptor& held) {
    struct stat info {};
    if (held.Valid() && ::fstat(held.Get(), &info) == 0) ::fchmod(fd_.Get(), info.st_mode & 07777);
  }

  /// The system's reason for the last write that fell short (a full disk, say); 0 when none did.
  int WriteError() const { return write_error_; }

  /// Closes the file (a failed close loses bytes) and renames it over the target.
  void RenameOver(const Target& target) {
    if (const int error = fd_.Close(); error != 0) ThrowCannotCreate(target, error);
    if (::rename(path_.c_str(), target.real.c_str()) != 0) ThrowCannotCreate(target, errno);
    renamed_ = true;
  }

 private:
  std::string path_;
  FileDescriptor fd_;
  bool renamed_ = false;
  int write_error_ = 0;
};

}  // namespace

void ReplaceFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                 const StreamWrapper& wrap) {
  const Target target = ResolveTarget(path);
  const FileDescriptor held = HoldTarget(target);
  TemporaryFile file(target);
  file.TakeModeOf(held);
  try {
    if (wrap) {
      wrap(file)->WriteBuffer(bytes, static_cast<std::int64_t>(size));
    } else {
      file.WriteBuffer(bytes, static_cast<std::int64_t>(size));
    }
  } catch (const EWriteError&) {
    // A file the system refused bytes is named with the system's reason.
    if (file.WriteError() != 0) ThrowCannotCreate(target, file.WriteError());
    throw;
  }
  file.RenameOver(target);
}

}  // namespace quillamar::jpeg
