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

// The resolution its text gives, or why the text is unusable.
Result<double> ReadResolution(const std::string& text) {
  const std::string quoted = "resolution \"" + text + "\"";
  if (!IsPlainDecimal(text)) return Fail(quoted + " is not a positive number");
  double resolution = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), resolution);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(resolution)) {
    return Fail(quoted + " is not a positive number");
  }
  if (resolution <= 0) return Fail(quoted + " is not a positive number");
  if (resolution > kMaxResolution) return Fail(quoted + " is above the limit of 2400 dpi");
  return resolution;
}

// Collects option values and the one positional argument.
struct ArgumentScan {
  std::optional<std::string> pattern, format, resolution, pdf;

  Status Take(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      const std::string& word = arguments[i];
      std::optional<std::string>* slot = SlotFor(word);
      if (slot == nullptr) {
        if (word.size() > 1 && word[0] == '-') return Fail("unknown option " + word);
        if (pdf) return Fail("more than one PDF given: " + *pdf + ", " + word);
        pdf = word;
        continue;
      }
      if (*slot) return Fail("option " + word + " given twice");
      if (i + 1 == arguments.size()) return Fail("option " + word + " needs a value");
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

}  // namespace

Result<Options> ParseArguments(const std::vector<std::string>& arguments) {
  ArgumentScan scan;
  if (const Status taken = scan.Take(arguments); !taken) return Fail(taken.Error());
  if (!scan.pattern) return Fail("missing option -o PATTERN");
  if (!scan.format) return Fail("missing option -F png");
  if (!scan.resolution) return Fail("missing option -r RESOLUTION");
  if (!scan.pdf) return Fail("missing PDF file");
  if (*scan.format != contract::kPngFormat)
    return Fail("image type \"" + *scan.format + "\" is not png");
  if (scan.pattern->find(kPageMarker) == std::string::npos) {
    return Fail("output pattern \"" + *scan.pattern + "\" has no %d for the page number");
  }
  const Result<double> resolution = ReadResolution(*scan.resolution);
  if (!resolution) return Fail(resolution.Error());
  return Options{*scan.pattern, *resolution, *scan.pdf};
}

std::string PageFileName(const std::string& pattern, int page) {
  const std::size_t at = pattern.rfind(kPageMarker);
  if (at == std::string::npos) return pattern;
  std::string name = pattern;
  name.replace(at, std::char_traits<char>::length(kPageMarker), std::to_string(page));
  return name;
}

}  // namespace quillamar::pagerender
