// Folders walked for PDFs and lists of paths read, for the command line's inputs.
#include "cli/inputs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string_view>

namespace quillamar::cli {
namespace {

namespace fs = std::filesystem;

bool IsPdfName(const std::string& name) {
  constexpr std::string_view kExtension = ".pdf";
  if (name.size() <= kExtension.size()) return false;
  return std::equal(
      kExtension.begin(), kExtension.end(), name.end() - kExtension.size(),
      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

bool IsFolder(const std::string& path) {
  std::error_code ignored;
  return !path.empty() && fs::is_directory(path, ignored);
}

// Appends the folder's PDFs, then (when recursive) its subfolders' in name order.
bool AddFolder(const std::string& folder, bool recursive, GatheredPdfs& gathered) {
  std::vector<std::string> pdf_names;
  std::vector<std::string> folder_names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    std::string name = it->path().filename().string();
    if (recursive && it->is_directory(ignored) && !it->is_symlink(ignored)) {
      folder_names.push_back(std::move(name));
    } else if (IsPdfName(name) && it->is_regular_file(ignored)) {
      pdf_names.push_back(std::move(name));
    }
  }
  if (error) {
    gathered.error = "cannot read folder '" + folder + "': " + error.message();
    return false;
  }
  std::sort(pdf_names.begin(), pdf_names.end());
  std::sort(folder_names.begin(), folder_names.end());
  const std::string prefix = folder.back() == '/' ? folder : folder + "/";
  for (const auto& name : pdf_names) gathered.pdfs.push_back(prefix + name);
  for (const auto& name : folder_names) {
    if (!AddFolder(prefix + name, recursive, gathered)) return false;
  }
  return true;
}

bool AddInput(const std::string& input, bool recursive, GatheredPdfs& gathered) {
  if (IsFolder(input)) return AddFolder(input, recursive, gathered);
  gathered.pdfs.push_back(input);
  return true;
}

// The list's whole text; "-" is standard input.
bool ReadList(const std::string& list, std::string& text, GatheredPdfs& gathered) {
  if (list == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(list, std::ios::binary);
  if (!in) {
    gathered.error = "cannot read list '" + list + "': " + std::strerror(errno);
    return false;
  }
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool AddList(const std::string& list, const CommandLine& line, GatheredPdfs& gathered) {
  std::string text;
  if (!ReadList(list, text, gathered)) return false;
  const char separator = line.null_separated ? '\0' : '\n';
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    const std::string entry = text.substr(start, end - start);
    start = end + 1;
    if (!entry.empty() && !AddInput(entry, line.recursive, gathered)) return false;
  }
  return true;
}

}  // namespace

GatheredPdfs GatherPdfs(const CommandLine& line) {
  GatheredPdfs gathered;
  for (const auto& file : line.files) {
    if (!AddInput(file, line.recursive, gathered)) return gathered;
  }
  for (const auto& list : line.file_lists) {
    if (!AddList(list, line, gathered)) return gathered;
  }
  return gathered;
}

}  // namespace quillamar::cli
