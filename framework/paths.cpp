// Path rules and file-system tests over POSIX.
#include "framework/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "framework/exceptions.h"

namespace quillamar {

bool FileExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ForceFolders(std::string folder) {
  if (folder.empty()) throw EInOutError("Unable to create directory");
  if (folder.back() == '/') folder.pop_back();
  if (folder.empty() || FolderExists(folder)) return true;
  const auto slash = folder.rfind('/');
  const std::string parent =
      slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
  if (parent == folder) return true;
  // The parent is created first; a bare relative name has no parent and raises above.
  if (!ForceFolders(parent)) return false;
  return ::mkdir(folder.c_str(), 0777) == 0 || (errno == EEXIST && FolderExists(folder));
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  std::string folded = absolute.lexically_normal().string();
  // lexically_normal keeps a trailing "/" of a folder name; a file path never had one.
  if (folded.size() > 1 && folded.back() == '/' && path.back() != '/') folded.pop_back();
  return folded;
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace quillamar
