// Creating, locking and removing staging folders, and finding and moving page files.
#include "batch/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>

#include "framework/descriptors.h"

namespace quillamar::batch {
namespace {

constexpr int kCreateAttempts = 5;

FileDescriptor OpenFolder(const std::string& path) {
  return FileDescriptor(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
}

bool TryLock(const FileDescriptor& folder) {
  return folder.Valid() && ::flock(folder.Get(), LOCK_EX | LOCK_NB) == 0;
}

// The descriptor still names what is at the path: no other run removed it before it was locked.
bool StillAt(const FileDescriptor& folder, const std::string& path) {
  struct stat held {
  }, named{};
  return ::fstat(folder.Get(), &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// The names of the folder's entries, without "." and "..".
std::vector<std::string> EntriesOf(const std::string& folder) {
  std::vector<std::string> names;
  const FolderListing listing = OpenFolderListing(folder);
  if (!listing) return names;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

// The page number of a page file name, or 0 when the name is not one.
int PageOfName(const std::string& name, const std::string& prefix, const std::string& extension) {
  if (name.size() <= prefix.size() + extension.size() || name.rfind(prefix, 0) != 0 ||
      name.compare(name.size() - extension.size(), extension.size(), extension) != 0) {
    return 0;
  }
  const char* first = name.data() + prefix.size();
  const char* last = name.data() + name.size() - extension.size();
  int page = 0;
  const auto [rest, error] = std::from_chars(first, last, page);
  const bool plain = *first != '0' && *first != '+' && *first != '-';
  return error == std::errc() && rest == last && plain && page > 0 ? page : 0;
}

}  // namespace

StagingFolder::StagingFolder(std::string parent, std::string path, FileDescriptor lock)
    : parent_(std::move(parent)), path_(std::move(path)), lock_(std::move(lock)) {}

std::unique_ptr<StagingFolder> StagingFolder::Create(const std::string& output_folder) {
  const std::string parent = output_folder + "/" + kStagingParentName;
  // Another run may remove an empty parent, or a folder it found unlocked, at any moment.
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return nullptr;
    std::string path = parent + "/run-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) continue;
    FileDescriptor lock = OpenFolder(path);
    if (TryLock(lock) && StillAt(lock, path)) {
      return std::unique_ptr<StagingFolder>(new StagingFolder(parent, path, std::move(lock)));
    }
  }
  return nullptr;
}

StagingFolder::~StagingFolder() {
  RemoveFolderTree(path_);
  ::rmdir(parent_.c_str());  // only when no other run stages there
}

std::string StagingFolder::NewPdfFolder(int index) const {
  std::string folder = path_ + "/" + std::to_string(index);
  return ::mkdir(folder.c_str(), 0755) == 0 ? folder : std::string();
}

void RemoveAbandonedStaging(const std::string& output_folder) {
  const std::string parent = output_folder + "/" + kStagingParentName;
  for (const std::string& name : EntriesOf(parent)) {
    const std::string path = parent + "/" + name;
    const FileDescriptor folder = OpenFolder(path);
    // Not a folder, or a folder no running run holds: left by a crash.
    if (!folder.Valid() || TryLock(folder)) RemoveFolderTree(path);
  }
  ::rmdir(parent.c_str());
}

void RemoveFolderTree(const std::string& folder) noexcept {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

std::vector<int> PageFilesIn(const std::string& folder, const std::string& base_name,
                             const std::string& extension) {
  std::vector<int> pages;
  for (const std::string& name : EntriesOf(folder)) {
    if (const int page = PageOfName(name, base_name + "_", extension)) pages.push_back(page);
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

bool MoveFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace quillamar::batch
