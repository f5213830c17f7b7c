// Earlier reports read back, and the PDFs they list as converted left out of the run.
#include "cli/resume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

#include "framework/paths.h"

namespace quillamar::cli {

Status ResumeIndex::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return {};
    return Fail("cannot read report '" + path + "': " + std::strerror(errno));
  }
  for (std::string text; std::getline(in, text);) {
    std::optional<ReportEntry> entry = ParseConvertedLine(text);
    if (!entry || !wanted_.count(entry->pdf)) continue;
    std::string pdf = entry->pdf;
    conversions_.emplace(std::move(pdf), std::move(*entry));
  }
  return {};
}

bool ResumeIndex::AlreadyConverted(const std::string& pdf, const FileStamp& stamp,
                                   const std::string& format, const std::string& resolution) const {
  const auto [first, last] = conversions_.equal_range(pdf);
  return std::any_of(first, last, [&](const auto& item) {
    const ReportEntry& conversion = item.second;
    return conversion.stamp == stamp && conversion.format == format &&
           conversion.resolution == resolution &&
           std::all_of(conversion.files.begin(), conversion.files.end(), FileExists);
  });
}

Result<std::size_t> SkipConverted(const std::vector<std::string>& reports,
                                  const std::string& format, const std::string& resolution,
                                  std::vector<std::string>& pdfs) {
  ResumeIndex index(pdfs);
  for (const auto& report : reports) {
    if (Status loaded = index.Load(report); !loaded) return Fail(loaded.Error());
  }
  return std::erase_if(pdfs, [&](const std::string& pdf) {
    const std::optional<FileStamp> stamp = StampOf(pdf);
    return stamp && index.AlreadyConverted(pdf, *stamp, format, resolution);
  });
}

}  // namespace quillamar::cli
