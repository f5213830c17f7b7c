// Temporary folders for one test, removed with everything in them when the test ends, and whole
// files written and read back.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace quillamar::testing {

/// The names of the entries in the folder (hidden ones included), sorted.
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

/// The whole content of a file ("" when it cannot be read).
inline std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::vector<std::uint8_t> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteAll(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

/// A folder under the system's temporary folder. A test that cannot have one stops at once
/// rather than write into the working folder.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillamar-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    // A test may have taken the folder's own rights away.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// The path of a name inside the folder.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  /// Writes a file (text or bytes) inside the folder and returns its path.
  std::string Write(const std::string& name, const std::string& content,
                    bool executable = false) const {
    const std::string file = *this / name;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    WriteFile(file, content);
    if (executable) ::chmod(file.c_str(), 0755);
    return file;
  }

  std::vector<std::string> Entries() const { return FolderEntries(path_); }

 private:
  std::string path_;
};

/// A TempDir for tests that build their paths with std::filesystem.
class ScratchFolder {
 public:
  const std::filesystem::path& path() const { return path_; }
  std::vector<std::string> Entries() const { return dir_.Entries(); }

 private:
  TempDir dir_;
  std::filesystem::path path_{dir_.path()};
};

}  // namespace quillamar::testing
