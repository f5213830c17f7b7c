// The names of page files.
#include "batch/page_names.h"

#include <unordered_map>

#include "framework/paths.h"

namespace quillamar::batch {

std::string BaseNameOf(const std::string& pdf) { return WithoutExtension(FileNameOf(pdf)); }

const char* PageExtensionFor(const std::string& format) {
  return format == kJpgFormat ? ".jpg" : ".png";
}

std::vector<int> FirstOfEachBaseName(const TStringList& pdfs) {
  // Hashed, since a command line may name hundreds of thousands of PDFs.
  std::unordered_map<std::string, int> first;
  std::vector<int> firsts;
  firsts.reserve(static_cast<std::size_t>(pdfs.Count()));
  for (int i = 0; i < pdfs.Count(); ++i)
    firsts.push_back(first.try_emplace(BaseNameOf(pdfs[i]), i).first->second);
  return firsts;
}

std::string OutputPattern(const std::string& folder, const std::string& base_name) {
  return folder + "/" + base_name + "_%d.png";
}

std::string PageFilePath(const std::string& folder, const std::string& base_name, int page,
                         const char* extension) {
  return folder + "/" + base_name + "_" + std::to_string(page) + extension;
}

}  // namespace quillamar::batch
