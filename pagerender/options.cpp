// Reads the renderer's command line and turns its output pattern into page file names.
#include <charconv>
#include <cmath>
#include <cstddef>

#include "pagerender/pagerender.h"

namespace quillamar::pagerender {
namespace {

constexpr const char* kPageMarker = contract::kPageNumberPlaceholder;

// A plain decimal number: digits with at most one dot, at least one digit, nothing else.
bool IsPlainDecimal(const std::string& text) {
  bool seen_digit = false;
  bool seen_dot = false;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      seen_digit = true;
    } else if (c == '.' && !seen_dot) {
      seen_dot = true;
    } else {
      return false;
    }
  }
  return seen_digit;
}

// Sets the resolution from its text, or returns why the text is unusable.
std::string ReadResolution(const std::string& text, double& resolution) {
  const std::string quoted = "resolution \"" + text + "\"";
  if (!IsPlainDecimal(text)) return quoted + " is not a positive number";
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), resolution);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(resolution)) {
    return quoted + " is not a positive number";
  }
  if (resolution <= 0) return quoted + " is not a positive number";
  if (resolution > kMaxResolution) return quoted + " is above the limit of 2400 dpi";
  return {};
}

// Collects option values and the one positional argument; returns an error text or "".
struct ArgumentScan {
  std::optional<std::string> pattern, format, resolution, pdf;

  std::string Take(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      const std::string& word = arguments[i];
      std::optional<std::string>* slot = SlotFor(word);
      if (slot == nullptr) {
        if (word.size() > 1 && word[0] == '-') return "unknown option " + word;
        if (pdf) return "more than one PDF given: " + *pdf + ", " + word;
        pdf = word;
        continue;
      }
      if (*slot) return "option " + word + " given twice";
      if (i + 1 == arguments.size()) return "option " + word + " needs a value";
      *slot = arguments[++i];
    }
    return {};
  }

  std::optional<std::string>* SlotFor(const std::string& word) {
    if (word == contract::kOutputOption) return &pattern;
    if (word == contract::kFormatOption) return &format;
    if (word == contract::kResolutionOption) return &resolution;
    return nullptr;
  }
};

ParsedOptions Failure(std::string error) { return ParsedOptions{std::nullopt, std::move(error)}; }

}  // namespace

ParsedOptions ParseArguments(const std::vector<std::string>& arguments) {
  ArgumentScan scan;
  if (std::string error = scan.Take(arguments); !error.empty()) return Failure(error);
  if (!scan.pattern) return Failure("missing option -o PATTERN");
  if (!scan.format) return Failure("missing option -F png");
  if (!scan.resolution) return Failure("missing option -r RESOLUTION");
  if (!scan.pdf) return Failure("missing PDF file");
  if (*scan.format != contract::kPngFormat)
    return Failure("image type \"" + *scan.format + "\" is not png");
  if (scan.pattern->find(kPageMarker) == std::string::npos) {
    return Failure("output pattern \"" + *scan.pattern + "\" has no %d for the page number");
  }
  Options options{*scan.pattern, 0, *scan.pdf};
  if (std::string error = ReadResolution(*scan.resolution, options.resolution); !error.empty()) {
    return Failure(error);
  }
  return ParsedOptions{options, {}};
}

std::string PageFileName(const std::string& pattern, int page) {
  const std::size_t at = pattern.rfind(kPageMarker);
  if (at == std::string::npos) return pattern;
  std::string name = pattern;
  name.replace(at, std::char_traits<char>::length(kPageMarker), std::to_string(page));
  return name;
}

}  // namespace quillamar::pagerender
