// A temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace quillamar::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillamar-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
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
    std::ofstream(file, std::ios::binary) << content;
    if (executable) ::chmod(file.c_str(), 0755);
    return file;
  }

 private:
  std::string path_;
};

/// The whole content of a file ("" when it cannot be read).
inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace quillamar::testing
