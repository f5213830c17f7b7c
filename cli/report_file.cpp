// Report lines appended with one write() each, as the run's PDFs end.
#include "cli/report_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "framework/paths.h"

namespace quillamar::cli {
namespace {

Outcome OutcomeOf(batch::PdfReport::Outcome outcome) {
  switch (outcome) {
    case batch::PdfReport::Outcome::kConverted:
      return Outcome::kConverted;
    case batch::PdfReport::Outcome::kFailed:
      return Outcome::kFailed;
    case batch::PdfReport::Outcome::kNotStarted:
      return Outcome::kNotStarted;
    case batch::PdfReport::Outcome::kStopped:
      return Outcome::kStopped;
  }
  return Outcome::kError;
}

// The page files of a PDF that are on disk: pages 1, 2, … until the first missing one.
std::vector<std::string> PageFilesOnDisk(const std::string& folder, const std::string& pdf,
                                         const std::string& format) {
  const std::string base_name = batch::BaseNameOf(pdf);
  const char* extension = batch::PageExtensionFor(format);
  std::vector<std::string> files;
  const int max_pages = batch::RunSettings{}.max_pages;
  for (int page = 1; page <= max_pages; ++page) {
    std::string file = batch::PageFilePath(folder, base_name, page, extension);
    if (!FileExists(file)) break;
    files.push_back(std::move(file));
  }
  return files;
}

}  // namespace

Result<ReportFile> ReportFile::Open(const std::string& path) {
  std::error_code ignored;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.Valid()) return Fail("cannot open report '" + path + "': " + std::strerror(errno));
  return ReportFile(path, std::move(fd));
}

Status ReportFile::Append(const std::string& line) {
  errno = 0;
  if (WriteAll(fd_.Get(), line.data(), line.size()) == line.size()) return {};
  // A descriptor that takes nothing without saying why counts as a full disk.
  return Fail("cannot write report '" + path_ + "': " + std::strerror(errno != 0 ? errno : ENOSPC));
}

RunReporter::RunReporter(std::vector<std::string> pdfs, std::string folder, std::string format,
                         std::string resolution, ReportFile file)
    : pdfs_(std::move(pdfs)),
      folder_(std::move(folder)),
      format_(std::move(format)),
      resolution_(std::move(resolution)),
      file_(std::move(file)),
      started_(pdfs_.size(), false) {}

ReportEntry RunReporter::EntryFor(std::size_t index) const {
  ReportEntry entry;
  entry.pdf = pdfs_[index];
  entry.stamp = StampOf(entry.pdf);
  entry.format = format_;
  entry.resolution = resolution_;
  return entry;
}

void RunReporter::Started(const std::string& pdf) {
  const std::lock_guard lock(mutex_);
  while (first_waiting_ < pdfs_.size() && started_[first_waiting_]) ++first_waiting_;
  for (std::size_t i = first_waiting_; i < pdfs_.size(); ++i) {
    if (started_[i] || pdfs_[i] != pdf) continue;
    started_[i] = true;
    running_.push_back({i, EntryFor(i), std::chrono::steady_clock::now()});
    return;
  }
}

void RunReporter::Finished(const batch::PdfReport& report) {
  const std::lock_guard lock(mutex_);
  const auto running = std::find_if(running_.begin(), running_.end(),
                                    [&](const Running& r) { return r.entry.pdf == report.pdf; });
  if (running == running_.end()) return;
  Write(*running, OutcomeOf(report.outcome), report.error_line);
  running_.erase(running);
}

void RunReporter::Ended(const std::string& error) {
  const std::lock_guard lock(mutex_);
  for (Running& running : running_) Write(running, Outcome::kError, error);
  running_.clear();
  for (std::size_t i = first_waiting_; i < pdfs_.size(); ++i) {
    if (started_[i]) continue;
    started_[i] = true;
    ReportEntry entry = EntryFor(i);
    entry.outcome = Outcome::kNotReached;
    Append(entry);
  }
}

Status RunReporter::Written() const {
  const std::lock_guard lock(mutex_);
  return written_;
}

void RunReporter::Write(Running& running, Outcome outcome, const std::string& error) {
  ReportEntry& entry = running.entry;
  entry.outcome = outcome;
  entry.error = error;
  entry.files = PageFilesOnDisk(folder_, entry.pdf, format_);
  entry.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - running.started_at).count();
  Append(entry);
}

void RunReporter::Append(const ReportEntry& entry) {
  if (Status appended = file_.Append(ReportLine(entry)); !appended) written_ = std::move(appended);
}

}  // namespace quillamar::cli
