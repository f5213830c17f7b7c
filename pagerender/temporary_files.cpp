// Temporary page files beside their final names: created exclusively, renamed when complete,
// removed when abandoned.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "pagerender/pagerender.h"

namespace quillamar::pagerender {
namespace {

constexpr int kNameAttempts = 1000;

// ".lib.dll-PID-N.tmp" in the folder of final_path: hidden from anyone who lists page files, and
// short, so that a page name near the length limit still gets a temporary.
std::string TemporaryName(const std::string& final_path, unsigned number) {
  const std::size_t slash = final_path.rfind('/');
  const std::size_t base_at = slash == std::string::npos ? 0 : slash + 1;
  return final_path.substr(0, base_at) + "." + kProgramName + "-" + std::to_string(::getpid()) +
         "-" + std::to_string(number) + ".tmp";
}

}  // namespace

struct TemporaryFiles::State {
  std::mutex mutex;
  std::set<std::string> open;
  bool abandoned = false;
  unsigned next_number = 0;
};

TemporaryFiles::TemporaryFiles() : state_(std::make_unique<State>()) {}

TemporaryFiles::~TemporaryFiles() { Abandon(); }

int TemporaryFiles::Create(const std::string& final_path, std::string& temporary_path) {
  const std::lock_guard lock(state_->mutex);
  if (state_->abandoned) {
    errno = ECANCELED;
    return -1;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = TemporaryName(final_path, state_->next_number++);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return -1;
    state_->open.insert(name);
    temporary_path = std::move(name);
    return fd;
  }
  errno = EEXIST;
  return -1;
}

bool TemporaryFiles::Commit(const std::string& temporary_path, const std::string& final_path) {
  const std::lock_guard lock(state_->mutex);
  state_->open.erase(temporary_path);
  int error = ECANCELED;
  if (!state_->abandoned) {
    if (::rename(temporary_path.c_str(), final_path.c_str()) == 0) return true;
    error = errno;
  }
  ::unlink(temporary_path.c_str());
  errno = error;
  return false;
}

void TemporaryFiles::Discard(const std::string& temporary_path) {
  const std::lock_guard lock(state_->mutex);
  state_->open.erase(temporary_path);
  ::unlink(temporary_path.c_str());
}

void TemporaryFiles::Abandon() {
  const std::lock_guard lock(state_->mutex);
  state_->abandoned = true;
  for (const auto& name : state_->open) ::unlink(name.c_str());
  state_->open.clear();
}

}  // namespace quillamar::pagerender
