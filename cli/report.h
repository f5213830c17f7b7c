// The run's report, one JSON line per PDF, and resuming a collection from earlier reports.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "batch/batch.h"
#include "framework/descriptors.h"

namespace quillamar::cli {

/// What a PDF's conversion came to.
enum class Outcome {
  kConverted,   ///< every page written
  kFailed,      ///< the renderer failed; its line is the error
  kNotStarted,  ///< the renderer could not be started
  kStopped,     ///< a stop ended the run during this PDF
  kError,       ///< an error ended the run during this PDF; its message is the error
  kNotReached,  ///< the run ended before this PDF
};

/// A file's size and modification time.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;  ///< nanoseconds since 1970
  bool operator==(const FileStamp&) const = default;
};

/// The file's stamp (links followed); empty when it cannot be read.
std::optional<FileStamp> StampOf(const std::string& path);

/// One PDF as the report records it.
struct ReportEntry {
  std::string pdf;
  std::optional<FileStamp> stamp;  ///< when the PDF's turn came; null fields when unreadable
  std::string format;              ///< "JPG" or "PNG"
  std::string resolution;
  Outcome outcome = Outcome::kConverted;
  std::string error;  ///< the renderer's line or the error's message; left out when empty
  std::vector<std::string> files;  ///< the page files on disk afterwards, in page order
  double seconds = 0;
};

/// The entry as one JSON object and a newline. A path that is not valid UTF-8 is written with
/// U+FFFD in place of its bad bytes and gets a twin field ("pdf_hex", "files_hex") holding every
/// byte in hexadecimal.
std::string ReportLine(const ReportEntry& entry);

/// A report file opened for appending; each line goes out in one write(), so lines of several
/// programs sharing the file on a local file system never mix.
class ReportFile {
 public:
  /// Opens the file, creating it and its missing folders; see Error().
  explicit ReportFile(const std::string& path);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  /// Why the file could not be opened or last written; empty while all is well.
  const std::string& Error() const { return error_; }
  /// Writes the line; false (with Error()) when not all of it could be written.
  bool Append(const std::string& line);

 private:
  std::string path_;
  FileDescriptor fd_;
  std::string error_;
};

/// The PDFs that earlier reports list as converted.
class ResumeIndex {
 public:
  /// Keeps only what reports say about these PDFs (a report may cover a whole archive).
  explicit ResumeIndex(const std::vector<std::string>& pdfs) : wanted_(pdfs.begin(), pdfs.end()) {}

  /// Adds a report's converted PDFs; a report that does not exist yet adds nothing, and lines
  /// that are not report lines are passed over. False, with the reason, when it cannot be read.
  bool Load(const std::string& path, std::string& error);
  /// True when a report lists this exact path as converted with the same stamp, format and
  /// resolution, and every page file it listed still exists.
  bool AlreadyConverted(const std::string& pdf, const FileStamp& stamp, const std::string& format,
                        const std::string& resolution) const;

 private:
  struct Conversion {
    FileStamp stamp;
    std::string format;
    std::string resolution;
    std::vector<std::string> files;
  };
  std::unordered_set<std::string> wanted_;
  std::unordered_multimap<std::string, Conversion> conversions_;
};

/// Follows a run through the host's per-PDF calls and writes one report line per PDF. The calls
/// may come from several threads, and PDFs may overlap; each Finished belongs to the earliest
/// started, unfinished PDF of that path.
class RunReporter {
 public:
  /// pdfs: the run's list in its order; the page files are looked for in folder.
  RunReporter(std::vector<std::string> pdfs, std::string folder, std::string format,
              std::string resolution, ReportFile& file);

  void Started(const std::string& pdf);
  void Finished(const batch::PdfReport& report);
  /// After the run: the PDFs started and not finished ended it with error; those never started
  /// were not reached. Each gets its line.
  void Ended(const std::string& error);
  /// Whether some line could not be written (the file's Error() says why).
  bool WriteFailed() const;

 private:
  // A PDF of the run that has started and not yet finished.
  struct Running {
    std::size_t index;
    ReportEntry entry;
    std::chrono::steady_clock::time_point started_at;
  };

  ReportEntry EntryFor(std::size_t index) const;
  void Write(Running& running, Outcome outcome, const std::string& error);

  const std::vector<std::string> pdfs_;
  const std::string folder_;
  const std::string format_;
  const std::string resolution_;
  ReportFile& file_;
  mutable std::mutex mutex_;
  std::vector<bool> started_;      ///< per PDF of the list
  std::size_t first_waiting_ = 0;  ///< no PDF before it waits to start
  std::vector<Running> running_;
  bool write_failed_ = false;
};

}  // namespace quillamar::cli
