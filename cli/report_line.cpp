// Report lines written and read with nlohmann::json.
#include "cli/report_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

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

std::optional<ReportEntry> ParseConvertedLine(std::string_view text) {
  const Json line = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!line.is_object() || TextField(line, "outcome") != OutcomeName(Outcome::kConverted)) {
    return std::nullopt;
  }
  std::optional<std::string> pdf = PathField(line, "pdf");
  const std::optional<FileStamp> stamp = StampField(line);
  std::optional<std::vector<std::string>> files = PathsField(line, "files");
  if (!pdf || !stamp || !files) return std::nullopt;
  ReportEntry entry;
  entry.pdf = std::move(*pdf);
  entry.stamp = stamp;
  entry.format = TextField(line, "format");
  entry.resolution = TextField(line, "resolution");
  entry.files = std::move(*files);
  return entry;
}

}  // namespace quillamar::cli
