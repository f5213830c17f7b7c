// The run's report file: one line per PDF, appended as the run goes.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "cli/report_line.h"
#include "framework/descriptors.h"
#include "framework/result.h"

namespace quillamar::cli {

/// A report file opened for appending; each line goes out in one write(), so lines of several
/// programs sharing the file on a local file system never mix.
class ReportFile {
 public:
  /// Opens the file, creating it and its missing folders.
  static Result<ReportFile> Open(const std::string& path);

  /// Writes the line; fails when not all of it could be written.
  Status Append(const std::string& line);

 private:
  ReportFile(std::string path, FileDescriptor fd) : path_(std::move(path)), fd_(std::move(fd)) {}

  std::string path_;
  FileDescriptor fd_;
};

/// Follows a run through the host's per-PDF calls and writes one report line per PDF. The calls
/// may come from several threads, and PDFs may overlap; each Finished belongs to the earliest
/// started, unfinished PDF of that path.
class RunReporter {
 public:
  /// pdfs: the run's list in its order; the page files are looked for in folder.
  RunReporter(std::vector<std::string> pdfs, std::string folder, std::string format,
              std::string resolution, ReportFile file);

  void Started(const std::string& pdf);
  void Finished(const batch::PdfReport& report);
  /// After the run: the PDFs started and not finished ended it with error; those never started
  /// were not reached. Each gets its line.
  void Ended(const std::string& error);
  /// Whether every line was written; else why the last one that failed was not.
  Status Written() const;

 private:
  // A PDF of the run that has started and not yet finished.
  struct Running {
    std::size_t index;
    ReportEntry entry;
    std::chrono::steady_clock::time_point started_at;
  };

  ReportEntry EntryFor(std::size_t index) const;
  void Write(Running& running, Outcome outcome, const std::string& error);
  void Append(const ReportEntry& entry);

  const std::vector<std::string> pdfs_;
  const std::string folder_;
  const std::string format_;
  const std::string resolution_;
  ReportFile file_;
  mutable std::mutex mutex_;
  std::vector<bool> started_;      ///< per PDF of the list
  std::size_t first_waiting_ = 0;  ///< no PDF before it waits to start
  std::vector<Running> running_;
  Status written_;
};

}  // namespace quillamar::cli
