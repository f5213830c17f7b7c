// Temporary page files beside their final names: created exclusively, renamed when complete,
// removed when abandoned (also from a crash handler, hence the lock-free table of names).
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "contract/renderer_contract.h"
#include "framework/descriptors.h"
#include "pagerender/temporary_files.h"

namespace quillamar::pagerender {
namespace {

constexpr int kNameAttempts = 1000;

// contract::TemporaryPageName in the folder of final_path.
std::string TemporaryName(const std::string& final_path, unsigned number) {
  const std::size_t slash = final_path.rfind('/');
  const std::size_t base_at = slash == std::string::npos ? 0 : slash + 1;
  return final_path.substr(0, base_at) + contract::TemporaryPageName(::getpid(), number);
}

}  // namespace

struct TemporaryFiles::State {
  std::mutex mutex;  // guards everything below except the lock-free reading of the slots
  bool abandoned = false;
  unsigned next_number = 0;
  // One slot per open temporary: its name is written before used is set, so a reader that sees
  // used reads a whole name. The names are left unwritten until a slot is first taken, so a
  // renderer touches only the memory of the slots it uses.
  std::array<std::atomic<bool>, kMaxOpenTemporaries> used{};
  char paths[kMaxOpenTemporaries][PATH_MAX];

  int FreeSlot() const {
    for (int slot = 0; slot < kMaxOpenTemporaries; ++slot) {
      if (!used[slot].load()) return slot;
    }
    return -1;
  }

  // Forgets the temporary; false when it was not open.
  bool Release(const std::string& path) {
    for (int slot = 0; slot < kMaxOpenTemporaries; ++slot) {
      if (used[slot].load() && path == paths[slot]) {
        used[slot].store(false);
        return true;
      }
    }
    return false;
  }
};

TemporaryFiles::TemporaryFiles() : state_(std::make_unique_for_overwrite<State>()) {}

TemporaryFiles::~TemporaryFiles() { Abandon(); }

Result<TemporaryFiles::Created> TemporaryFiles::Create(const std::string& final_path) {
  return Make(final_path, [](const std::string& name) {
    return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  });
}

// A spare must be a regular file with no other name, so that writing over it changes nothing
// else. It is looked at again once renamed, since it may have been swapped meanwhile; anything
// else found then is put back as it was.
Result<TemporaryFiles::Created> TemporaryFiles::Reuse(const std::string& spare_path,
                                                      const std::string& final_path) {
  const auto plain_file = [](const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
  };
  struct stat before {};
  if (::lstat(spare_path.c_str(), &before) != 0) return Fail(std::strerror(errno));
  if (!plain_file(before)) return Fail(std::strerror(EPERM));
  Result<Created> created = Make(final_path, [&](const std::string& name) {
    if (::renameat2(AT_FDCWD, spare_path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) != 0) {
      return -1;
    }
    FileDescriptor fd(::open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat after {};
    if (fd.Valid() && ::fstat(fd.Get(), &after) == 0 && plain_file(after)) return fd.Release();
    fd.Reset();
    ::renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, spare_path.c_str(), RENAME_NOREPLACE);
    errno = EPERM;
    return -1;
  });
  if (created) created->reused = true;
  return created;
}

// Gives the next free name beside final_path to make, which creates the file under it and returns
// its open descriptor, or -1 with errno set (EEXIST: the name is taken, the next one is tried).
// The name is in a slot while it is made, so that a crash meanwhile removes it too.
template <typename MakeFile>
Result<TemporaryFiles::Created> TemporaryFiles::Make(const std::string& final_path, MakeFile make) {
  const std::lock_guard lock(state_->mutex);
  const int slot = state_->FreeSlot();
  if (state_->abandoned || slot < 0) {
    return Fail(std::strerror(state_->abandoned ? ECANCELED : EMFILE));
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const unsigned number = state_->next_number++;
    std::string name = TemporaryName(final_path, number);
    if (name.size() >= sizeof state_->paths[slot]) return Fail(std::strerror(ENAMETOOLONG));
    std::memcpy(state_->paths[slot], name.c_str(), name.size() + 1);
    state_->used[slot].store(true);
    const int fd = make(name);
    if (fd >= 0) return Created{fd, std::move(name), number};
    const int error = errno;
    state_->used[slot].store(false);
    if (error != EEXIST) return Fail(std::strerror(error));
  }
  return Fail(std::strerror(EEXIST));
}

Status TemporaryFiles::Commit(const std::string& temporary_path, const std::string& final_path) {
  const std::lock_guard lock(state_->mutex);
  state_->Release(temporary_path);
  int error = ECANCELED;
  if (!state_->abandoned) {
    // Said before renaming: a confined renderer may not even try to replace a folder, and its
    // refusal would hide the reason.
    struct stat target {};
    if (::lstat(final_path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
      error = EISDIR;
    } else if (::rename(temporary_path.c_str(), final_path.c_str()) == 0) {
      return {};
    } else {
      error = errno;
    }
  }
  ::unlink(temporary_path.c_str());
  return Fail(std::strerror(error));
}

void TemporaryFiles::Discard(const std::string& temporary_path) {
  const std::lock_guard lock(state_->mutex);
  state_->Release(temporary_path);
  ::unlink(temporary_path.c_str());
}

void TemporaryFiles::Abandon() {
  const std::lock_guard lock(state_->mutex);
  state_->abandoned = true;
  RemoveOpenNow();
  for (auto& used : state_->used) used.store(false);
}

void TemporaryFiles::RemoveOpenNow() const noexcept {
  for (int slot = 0; slot < kMaxOpenTemporaries; ++slot) {
    if (state_->used[slot].load()) ::unlink(state_->paths[slot]);
  }
}

}  // namespace quillamar::pagerender
