// One line of the run's report: a PDF's conversion as a JSON object, written and read back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

/// A converted PDF's line read back: its paths exactly (from their hexadecimal twins when there
/// are some), its stamp, format, resolution and files; nullopt for any other line, and for one
/// that is not a report line or lacks one of these.
std::optional<ReportEntry> ParseConvertedLine(std::string_view text);

}  // namespace quillamar::cli
