// Folders walked for PDFs, lists of paths and the password file read, for the command line's
// inputs.
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
Status AddFolder(const std::string& folder, bool recursive, std::vector<std::string>& gathered) {
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
  if (error) return Fail("cannot read folder '" + folder + "': " + error.message());
  std::sort(pdf_names.begin(), pdf_names.end());
  std::sort(folder_names.begin(), folder_names.end());
  const std::string prefix = folder.back() == '/' ? folder : folder + "/";
  for (const auto& name : pdf_names) gathered.push_back(prefix + name);
  for (const auto& name : folder_names) {
    if (Status added = AddFolder(prefix + name, recursive, gathered); !added) return added;
  }
  return {};
}

Status AddInput(const std::string& input, bool recursive, std::vector<std::string>& gathered) {
  if (IsFolder(input)) return AddFolder(input, recursive, gathered);
  gathered.push_back(input);
  return {};
}

// The file's whole text, or its first line; "-" is standard input.
Result<std::string> ReadText(const std::string& path, bool first_line_only,
                             const std::string& what) {
  std::ifstream file;
  if (path != "-") {
    file.open(path, std::ios::binary);
    if (!file) return Fail("cannot read " + what + " '" + path + "': " + std::strerror(errno));
  }
  std::istream& in = path == "-" ? std::cin : file;
  std::string text;
  if (first_line_only) {
    std::getline(in, text);
  } else {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return text;
}

Status AddList(const std::string& list, const CommandLine& line,
               std::vector<std::string>& gathered) {
  const Result<std::string> text = ReadText(list, /*first_line_only=*/false, "list");
  if (!text) return Fail(text.Error());
  const char separator = line.null_separated ? '\0' : '\n';
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find(separator, start);
    if (end == std::string::npos) end = text->size();
    const std::string entry = text->substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    if (Status added = AddInput(entry, line.recursive, gathered); !added) return added;
  }
  return {};
}

}  // namespace

Result<std::vector<std::string>> GatherPdfs(const CommandLine& line) {
  std::vector<std::string> gathered;
  for (const auto& file : line.files) {
    if (Status added = AddInput(file, line.recursive, gathered); !added) return Fail(added.Error());
  }
  for (const auto& list : line.file_lists) {
    if (Status added = AddList(list, line, gathered); !added) return Fail(added.Error());
  }
  return gathered;
}

Result<std::string> ReadPasswordFile(const std::string& path) {
  Result<std::string> line = ReadText(path, /*first_line_only=*/true, "the password file");
  if (line && !line->empty() && line->back() == '\r') line->pop_back();
  return line;
}

}  // namespace quillamar::cli
