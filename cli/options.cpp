// Command-line parsing and the usage text.
#include <algorithm>
#include <cctype>
#include <charconv>

#include "cli/cli.h"

namespace quillamar::cli {
namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// Which option an argument names, with its value when written "--name=value" or "-rVALUE".
struct OptionWord {
  char key = 0;  // 'f', 'r', 'o', 'j', 'h', 'V', or 0 when unknown
  bool has_inline_value = false;
  std::string inline_value;
};

OptionWord Recognise(const std::string& argument) {
  static const std::pair<const char*, char> kLongNames[] = {
      {"--format", 'f'}, {"--resolution", 'r'}, {"--output", 'o'},
      {"--jobs", 'j'},   {"--help", 'h'},       {"--version", 'V'},
  };
  OptionWord word;
  if (argument.rfind("--", 0) == 0) {
    const auto equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    for (const auto& [long_name, key] : kLongNames) {
      if (name == long_name) word.key = key;
    }
    if (equals != std::string::npos) {
      word.has_inline_value = true;
      word.inline_value = argument.substr(equals + 1);
    }
    return word;
  }
  const char key = argument[1];
  if (std::string("frojhV").find(key) != std::string::npos) word.key = key;
  if (argument.size() > 2) {
    word.has_inline_value = true;
    word.inline_value = argument.substr(2);
  }
  return word;
}

bool TakesValue(char key) { return key == 'f' || key == 'r' || key == 'o' || key == 'j'; }

// A positive whole number, or 0 when the text is not one.
int ParseJobs(const std::string& text) {
  int jobs = 0;
  const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), jobs);
  return error == std::errc() && rest == text.data() + text.size() && jobs > 0 ? jobs : 0;
}

ParseResult Failure(const std::string& error) {
  ParseResult result;
  result.error = error;
  return result;
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) {
  ParseResult result;
  CommandLine& line = result.line;
  bool output_given = false;
  bool options_ended = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      line.files.push_back(argument);
      continue;
    }
    if (argument == "--") {
      options_ended = true;
      continue;
    }
    OptionWord word = Recognise(argument);
    if (word.key == 0) return Failure("unknown option '" + argument + "'");
    if (!TakesValue(word.key)) {
      if (word.has_inline_value) return Failure("option '" + argument + "' takes no value");
      (word.key == 'h' ? line.help : line.version) = true;
      continue;
    }
    if (!word.has_inline_value) {
      if (i + 1 >= arguments.size()) return Failure("option '" + argument + "' needs a value");
      word.inline_value = arguments[++i];
    }
    if (word.key == 'f') {
      line.format = Upper(word.inline_value);
      if (line.format != "JPG" && line.format != "PNG") {
        return Failure("unknown format '" + word.inline_value + "' (use JPG or PNG)");
      }
    } else if (word.key == 'r') {
      line.resolution = word.inline_value;
    } else if (word.key == 'j') {
      line.jobs = ParseJobs(word.inline_value);
      if (line.jobs == 0) return Failure("option '" + argument + "' needs a positive number");
    } else {
      line.output = word.inline_value;
      output_given = true;
    }
  }
  if (line.help || line.version) {
    result.ok = true;
    return result;
  }
  if (!output_given || line.output.empty()) return Failure("missing -o FOLDER");
  if (line.files.empty()) return Failure("no PDF files given");
  result.ok = true;
  return result;
}

std::string UsageText() {
  return "Usage: quillamar-cli [-f JPG|PNG] [-r RESOLUTION] -o FOLDER FILE...\n"
         "Turns every page of each PDF FILE into an image in FOLDER, named\n"
         "FOLDER/<name>_<page>.jpg (or .png).\n"
         "\n"
         "  -f, --format JPG|PNG    image format, any case (default JPG)\n"
         "  -r, --resolution DPI    resolution in dots per inch (default 72)\n"
         "  -o, --output FOLDER     folder for the images; created when missing\n"
         "  -j, --jobs N            most workers (default: the CPUs it may run on)\n"
         "  -h, --help              show this text\n"
         "  -V, --version           show the version\n"
         "\n"
         "Status lines go to standard output, messages and errors to standard error.\n"
         "Exit status: 0 every PDF converted; 1 an error ended the run; 2 wrong usage;\n"
         "3 some PDF could not be rendered; 130 stopped by Ctrl-C.\n";
}

}  // namespace quillamar::cli
