// The names of page files.
#include "batch/page_names.h"

#include "framework/paths.h"

namespace quillamar::batch {

std::string BaseNameOf(const std::string& pdf) { return WithoutExtension(FileNameOf(pdf)); }

const char* PageExtensionFor(const std::string& format) {
  return format == kJpgFormat ? ".jpg" : ".png";
}

std::string OutputPattern(const std::string& folder, const std::string& base_name) {
  return folder + "/" + base_name + "_%d.png";
}

std::string PageFilePath(const std::string& folder, const std::string& base_name, int page,
                         const char* extension) {
  return folder + "/" + base_name + "_" + std::to_string(page) + extension;
}

}  // namespace quillamar::batch
