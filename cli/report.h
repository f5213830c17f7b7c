// The run's report, one JSON line per PDF, and resuming a collection from earlier reports.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "batch/batch.h"

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
  int fd_ = -1;
  std::string error_;
};

/// The PDFs that earlier reports list as converted.
class ResumeIndex {
 public:
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
  std::unordered_multimap<std::string, Conversion> conversions_;
};

/// Follows a run through the host's per-PDF calls and writes one report line per PDF.
class RunReporter {
 public:
  /// pdfs: the run's list in its order; the page files are looked for in folder.
  RunReporter(std::vector<std::string> pdfs, std::string folder, std::string format,
              std::string resolution, ReportFile& file);

  void Started(const std::string& pdf);
  void Finished(const batch::PdfReport& report);
  /// After the run: a PDF started and not finished ended it with error; the PDFs after it (or
  /// after a stop) were never reached. Each gets its line.
  void Ended(const std::string& error);
  /// Whether some line could not be written (the file's Error() says why).
  bool WriteFailed() const { return write_failed_; }

 private:
  ReportEntry EntryFor(const std::string& pdf) const;
  void Write(ReportEntry& entry, Outcome outcome, bool started);

  std::vector<std::string> pdfs_;
  std::string folder_;
  std::string format_;
  std::string resolution_;
  ReportFile& file_;
  std::size_t next_ = 0;  ///< index of the next PDF to start
  std::optional<ReportEntry> current_;
  std::chrono::steady_clock::time_point started_at_;
  bool write_failed_ = false;
};

}  // namespace quillamar::cli
