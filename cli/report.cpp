// Report lines written with nlohmann::json, appended with one write() each, and read back for
// resuming.
#include "cli/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "framework/descriptors.h"
#include "framework/paths.h"

namespace quillamar::cli {
namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kConverted:
      return "converted";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kNotStarted:
      return "not_started";
    case Outcome::kStopped:
      return "stopped";
    case Outcome::kError:
      return "error";
    case Outcome::kNotReached:
      return "not_reached";
  }
  return "";
}

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

bool IsValidUtf8(const std::string& text) {
  try {
    (void)Json(text).dump();
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

// The bytes of a hexadecimal text; empty when it is not one.
std::optional<std::string> FromHex(const std::string& hex) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]);
    const int low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes;
}

void PutPaths(OrderedJson& line, const std::string& key, const std::vector<std::string>& paths) {
  line[key] = paths;
  if (std::all_of(paths.begin(), paths.end(), IsValidUtf8)) return;
  std::vector<std::string> hex;
  for (const auto& path : paths) hex.push_back(Hex(path));
  line[key + "_hex"] = hex;
}

void PutPath(OrderedJson& line, const std::string& key, const std::string& path) {
  line[key] = path;
  if (!IsValidUtf8(path)) line[key + "_hex"] = Hex(path);
}

// A path field read back exactly: from its hexadecimal twin when there is one.
std::optional<std::string> PathField(const Json& line, const std::string& key) {
  if (const auto hex = line.find(key + "_hex"); hex != line.end() && hex->is_string()) {
    return FromHex(hex->get<std::string>());
  }
  if (const auto text = line.find(key); text != line.end() && text->is_string()) {
    return text->get<std::string>();
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> PathsField(const Json& line, const std::string& key) {
  const bool exact = line.contains(key + "_hex");
  const auto list = line.find(exact ? key + "_hex" : key);
  if (list == line.end() || !list->is_array()) return std::nullopt;
  std::vector<std::string> paths;
  for (const auto& item : *list) {
    if (!item.is_string()) return std::nullopt;
    std::optional<std::string> path =
        exact ? FromHex(item.get<std::string>()) : item.get<std::string>();
    if (!path) return std::nullopt;
    paths.push_back(std::move(*path));
  }
  return paths;
}

std::string TextField(const Json& line, const char* key) {
  const auto field = line.find(key);
  return field != line.end() && field->is_string() ? field->get<std::string>() : std::string();
}

std::optional<FileStamp> StampField(const Json& line) {
  const auto size = line.find("size");
  const auto mtime = line.find("mtime_ns");
  if (size == line.end() || mtime == line.end() || !size->is_number_integer() ||
      !mtime->is_number_integer()) {
    return std::nullopt;
  }
  return FileStamp{size->get<std::int64_t>(), mtime->get<std::int64_t>()};
}

// The page files of a PDF that are on disk: pages 1, 2, … until the first missing one.
std::vector<std::string> PageFilesOnDisk(const std::string& folder, const std::string& pdf,
                                         const std::string& format) {
  const std::string base_name = WithoutExtension(FileNameOf(pdf));
  const char* extension = format == "JPG" ? ".jpg" : ".png";
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

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileStamp{
      static_cast<std::int64_t>(status.st_size),
      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

std::string ReportLine(const ReportEntry& entry) {
  OrderedJson line;
  PutPath(line, "pdf", entry.pdf);
  line["size"] = entry.stamp ? Json(entry.stamp->size) : Json();
  line["mtime_ns"] = entry.stamp ? Json(entry.stamp->mtime_ns) : Json();
  line["format"] = entry.format;
  line["resolution"] = entry.resolution;
  line["outcome"] = OutcomeName(entry.outcome);
  if (!entry.error.empty()) line["error"] = entry.error;
  line["pages"] = entry.files.size();
  PutPaths(line, "files", entry.files);
  line["seconds"] = std::round(entry.seconds * 1000) / 1000;
  // Bad bytes in other texts (a renderer's line naming the file) become U+FFFD.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

ReportFile::ReportFile(const std::string& path) : path_(path) {
  std::error_code ignored;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  fd_.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd_.Valid()) error_ = "cannot open report '" + path + "': " + std::strerror(errno);
}

ReportFile::~ReportFile() = default;

bool ReportFile::Append(const std::string& line) {
  if (!fd_.Valid()) return false;
  errno = 0;
  if (WriteAll(fd_.Get(), line.data(), line.size()) == line.size()) return true;
  // A descriptor that takes nothing without saying why counts as a full disk.
  error_ = "cannot write report '" + path_ + "': " + std::strerror(errno != 0 ? errno : ENOSPC);
  return false;
}

bool ResumeIndex::Load(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return true;
    error = "cannot read report '" + path + "': " + std::strerror(errno);
    return false;
  }
  for (std::string text; std::getline(in, text);) {
    const Json line = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!line.is_object() || TextField(line, "outcome") != OutcomeName(Outcome::kConverted)) {
      continue;
    }
    std::optional<std::string> pdf = PathField(line, "pdf");
    const std::optional<FileStamp> stamp = StampField(line);
    std::optional<std::vector<std::string>> files = PathsField(line, "files");
    if (!pdf || !wanted_.count(*pdf) || !stamp || !files) continue;
    conversions_.emplace(std::move(*pdf),
                         Conversion{*stamp, TextField(line, "format"),
                                    TextField(line, "resolution"), std::move(*files)});
  }
  return true;
}

bool ResumeIndex::AlreadyConverted(const std::string& pdf, const FileStamp& stamp,
                                   const std::string& format, const std::string& resolution) const {
  const auto [first, last] = conversions_.equal_range(pdf);
  return std::any_of(first, last, [&](const auto& item) {
    const Conversion& conversion = item.second;
    return conversion.stamp == stamp && conversion.format == format &&
           conversion.resolution == resolution &&
           std::all_of(conversion.files.begin(), conversion.files.end(), FileExists);
  });
}

RunReporter::RunReporter(std::vector<std::string> pdfs, std::string folder, std::string format,
                         std::string resolution, ReportFile& file)
    : pdfs_(std::move(pdfs)),
      folder_(std::move(folder)),
      format_(std::move(format)),
      resolution_(std::move(resolution)),
      file_(file),
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
    if (!file_.Append(ReportLine(entry))) write_failed_ = true;
  }
}

bool RunReporter::WriteFailed() const {
  const std::lock_guard lock(mutex_);
  return write_failed_;
}

void RunReporter::Write(Running& running, Outcome outcome, const std::string& error) {
  ReportEntry& entry = running.entry;
  entry.outcome = outcome;
  entry.error = error;
  entry.files = PageFilesOnDisk(folder_, entry.pdf, format_);
  entry.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - running.started_at).count();
  if (!file_.Append(ReportLine(entry))) write_failed_ = true;
}

}  // namespace quillamar::cli
