// Group flushing of committed JPEGs before their PNGs are deleted.
#include "batch/committed_pages.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "framework/descriptors.h"
#include "framework/paths.h"

namespace quillamar::batch {
namespace {

// Forces the file's bytes (or a folder's entries) to the disk. A file system that cannot sync
// (EINVAL) offers nothing better, so that counts as done.
bool SyncPath(const std::string& path, int flags) {
  const FileDescriptor fd(::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  return fd.Valid() && (::fdatasync(fd.Get()) == 0 || errno == EINVAL);
}

std::string FolderOrCurrent(const std::string& path) {
  const std::string folder = FolderOf(path);
  return folder.empty() ? "." : folder;
}

}  // namespace

bool CommittedPages::Add(std::string jpg_path, std::string png_path) {
  const auto now = std::chrono::steady_clock::now();
  if (pages_.empty()) oldest_ = now;
  pages_.push_back({std::move(jpg_path), std::move(png_path)});
  if (now - oldest_ < max_age_ && pages_.size() < max_pages_) return false;
  Flush();
  return true;
}

std::chrono::milliseconds CommittedPages::TimeLeft() const {
  if (pages_.empty()) return std::chrono::milliseconds(-1);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - oldest_);
  return std::max(max_age_ - waited, std::chrono::milliseconds(0));
}

void CommittedPages::Flush() noexcept {
  try {
    std::vector<bool> on_disk;
    std::vector<std::string> folders;
    for (const Page& page : pages_) {
      on_disk.push_back(SyncPath(page.jpg_path, O_RDONLY));
      const std::string folder = FolderOrCurrent(page.jpg_path);
      if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
        folders.push_back(folder);
      }
    }
    // The renames live in the folders: without them on the disk a JPEG may still be missing.
    bool entries_on_disk = true;
    for (const std::string& folder : folders) {
      entries_on_disk = SyncPath(folder, O_RDONLY | O_DIRECTORY) && entries_on_disk;
    }
    for (std::size_t i = 0; i < pages_.size(); ++i) {
      // A PNG that cannot be deleted merely stays beside its JPEG.
      if (!entries_on_disk || !on_disk[i]) continue;
      if (let_go_) {
        let_go_(pages_[i].png_path);
      } else {
        DeleteFile(pages_[i].png_path);
      }
    }
  } catch (...) {
    // Out of memory for the bookkeeping: the PNGs stay, which loses nothing.
  }
  pages_.clear();
}

}  // namespace quillamar::batch
