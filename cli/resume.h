// Resuming a collection: the PDFs that earlier reports list as converted are left out.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cli/report_line.h"
#include "framework/result.h"

namespace quillamar::cli {

/// The PDFs that earlier reports list as converted.
class ResumeIndex {
 public:
  /// Keeps only what reports say about these PDFs (a report may cover a whole archive).
  explicit ResumeIndex(const std::vector<std::string>& pdfs) : wanted_(pdfs.begin(), pdfs.end()) {}

  /// Adds a report's converted PDFs; a report that does not exist yet adds nothing, and lines
  /// that are not report lines are passed over. Fails when the report cannot be read.
  Status Load(const std::string& path);
  /// True when a report lists this exact path as converted with the same stamp, format and
  /// resolution, and every page file it listed still exists.
  bool AlreadyConverted(const std::string& pdf, const FileStamp& stamp, const std::string& format,
                        const std::string& resolution) const;

 private:
  std::unordered_set<std::string> wanted_;
  std::unordered_multimap<std::string, ReportEntry> conversions_;
};

/// Leaves out of pdfs those that the reports list as converted, unchanged since, in this format
/// and resolution; returns how many were left out. Fails when a report cannot be read.
Result<std::size_t> SkipConverted(const std::vector<std::string>& reports,
                                  const std::string& format, const std::string& resolution,
                                  std::vector<std::string>& pdfs);

}  // namespace quillamar::cli
