// Command-line parsing (getopt_long over one table of options) and the usage text.
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

#include "batch/batch.h"
#include "cli/cli.h"
#include "contract/renderer_contract.h"

namespace quillamar::cli {
namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// A positive whole number, or 0 when the text is not one.
int ParseJobs(std::string_view text) {
  int jobs = 0;
  const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), jobs);
  return error == std::errc() && rest == text.data() + text.size() && jobs > 0 ? jobs : 0;
}

// Codes of the options that have no short letter (above every character).
enum LongOnlyKey : int {
  kFilesFromKey = 256,
  kReportKey,
  kResumeKey,
  kNoClobberKey,
  kPasswordFileKey,
  kEngineKey,
};

constexpr char kStandardInput[] = "-";

// One option: its long name, its short letter or long-only code, whether it takes a value, and
// what it does to the command line (failing when the value is unusable).
struct OptionRow {
  const char* long_name;
  int key;
  bool takes_value;
  Status (*apply)(CommandLine& line, const std::string& value);
};

const OptionRow kOptions[] = {
    {"format", 'f', true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.format = Upper(value);
       if (line.format == batch::kJpgFormat || line.format == batch::kPngFormat) return {};
       return Fail("unknown format '" + value + "' (use JPG or PNG)");
     }},
    {"resolution", 'r', true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.resolution = value;
       if (batch::IsUsableResolution(value)) return {};
       return Fail("resolution '" + value + "' is not a whole number from 1 to " +
                   std::to_string(contract::kMaxResolution));
     }},
    {"output", 'o', true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.output = value;
       line.output_given = true;
       return {};
     }},
    {"jobs", 'j', true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.jobs = ParseJobs(value);
       if (line.jobs > 0) return {};
       return Fail("option --jobs needs a positive number, not '" + value + "'");
     }},
    {"engine", kEngineKey, true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.engine = value;
       if (value == contract::kEngineMupdf || value == contract::kEnginePoppler) return {};
       return Fail("unknown engine '" + value + "' (use mupdf or poppler)");
     }},
    {"help", 'h', false,
     [](CommandLine& line, const std::string&) -> Status {
       line.help = true;
       return {};
     }},
    {"version", 'V', false,
     [](CommandLine& line, const std::string&) -> Status {
       line.version = true;
       return {};
     }},

    // Folders among the files, name clashes, the output folder shown.
    {"recursive", 'R', false,
     [](CommandLine& line, const std::string&) -> Status {
       line.recursive = true;
       return {};
     }},
    {"no-clobber", kNoClobberKey, false,
     [](CommandLine& line, const std::string&) -> Status {
       line.no_clobber = true;
       return {};
     }},
    {"verbose", 'v', false,
     [](CommandLine& line, const std::string&) -> Status {
       line.verbose = true;
       return {};
     }},

    // Large collections: lists of PDFs, a report per PDF, resuming from reports.
    {"files-from", kFilesFromKey, true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.file_lists.push_back(value);
       return {};
     }},
    {"null", '0', false,
     [](CommandLine& line, const std::string&) -> Status {
       line.null_separated = true;
       return {};
     }},
    {"report", kReportKey, true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.report = value;
       return {};
     }},
    {"resume", kResumeKey, true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.resume_reports.push_back(value);
       return {};
     }},

    // Locked PDFs.
    {"password-file", kPasswordFileKey, true,
     [](CommandLine& line, const std::string& value) -> Status {
       line.password_file = value;
       return {};
     }},
};

// How many options read standard input; it can serve only one.
int StandardInputReaders(const CommandLine& line) {
  return static_cast<int>(line.password_file == kStandardInput) +
         static_cast<int>(
             std::count(line.file_lists.begin(), line.file_lists.end(), kStandardInput));
}

const OptionRow* FindOption(int key) {
  for (const OptionRow& row : kOptions) {
    if (row.key == key) return &row;
  }
  return nullptr;
}

// "-" first: words that are not options come back in place as code 1; ":" next: a missing value
// comes back as ':' rather than '?'.
std::string ShortOptionLetters() {
  std::string letters = "-:";
  for (const OptionRow& row : kOptions) {
    if (row.key > 255) continue;
    letters += static_cast<char>(row.key);
    if (row.takes_value) letters += ':';
  }
  return letters;
}

std::vector<option> LongOptions() {
  std::vector<option> options;
  for (const OptionRow& row : kOptions) {
    options.push_back(
        {row.long_name, row.takes_value ? required_argument : no_argument, nullptr, row.key});
  }
  options.push_back({nullptr, 0, nullptr, 0});
  return options;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// What getopt_long's '?' meant: an option it does not know, or a value given to a switch.
std::string RefusedWordError(int letter, const std::string& word) {
  const OptionRow* row = letter == 0 ? nullptr : FindOption(letter);
  if (row != nullptr && !row->takes_value &&
      StartsWith(word, std::string("--") + row->long_name + "=")) {
    return "option '" + word + "' takes no value";
  }
  if (letter == 0 || letter > 255) return "unknown option '" + word + "'";
  return "unknown option '-" + std::string(1, static_cast<char>(letter)) + "'";
}

// The option word whose value is missing, as the user typed it.
std::string MissingValueError(int letter, const std::string& word) {
  if (StartsWith(word, "--")) return "option '" + word + "' needs a value";
  return "option '-" + std::string(1, static_cast<char>(letter)) + "' needs a value";
}

}  // namespace

Result<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments) {
  std::vector<std::string> words{"quillamar-cli"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  const std::string letters = ShortOptionLetters();
  const std::vector<option> long_options = LongOptions();

  CommandLine line;
  optind = 0;  // starts the scan afresh
  opterr = 0;  // errors are ours to word
  for (;;) {
    const int key = getopt_long(argc, argv.data(), letters.c_str(), long_options.data(), nullptr);
    if (key == -1) break;
    const std::string word = argv[optind - 1];
    if (key == 1) {
      line.files.push_back(optarg);
    } else if (key == '?') {
      return Fail(RefusedWordError(optopt, word));
    } else if (key == ':') {
      return Fail(MissingValueError(optopt, word));
    } else if (const Status applied = FindOption(key)->apply(line, optarg ? optarg : "");
               !applied) {
      return Fail(applied.Error());
    }
  }
  // Everything after "--" is a file.
  for (int i = optind; i < argc; ++i) line.files.push_back(argv[i]);

  if (line.help || line.version) return line;
  if (!line.output_given || line.output.empty()) return Fail("missing -o FOLDER");
  if (line.files.empty() && line.file_lists.empty()) return Fail("no PDF files given");
  if (StandardInputReaders(line) > 1) return Fail("standard input ('-') given twice");
  return line;
}

int DefaultJobs(int usable_cpus, const char* slurm_cpus_per_task) {
  const int share = slurm_cpus_per_task != nullptr ? ParseJobs(slurm_cpus_per_task) : 0;
  return share > 0 ? std::min(share, usable_cpus) : usable_cpus;
}

std::string UsageText() {
  return "Usage: quillamar-cli [-f JPG|PNG] [-r RESOLUTION] -o FOLDER FILE...\n"
         "Turns every page of each PDF FILE into an image in FOLDER, named\n"
         "FOLDER/<name>_<page>.jpg (or .png). A FILE that is a folder stands for the\n"
         "PDFs directly inside it, sorted by name.\n"
         "\n"
         "  -f, --format JPG|PNG    image format, any case (default JPG)\n"
         "  -r, --resolution DPI    resolution in dots per inch (default 72)\n"
         "  -o, --output FOLDER     folder for the images; created when missing\n"
         "  -j, --jobs N            most workers (default: the CPUs it may run on, at\n"
         "                          most $SLURM_CPUS_PER_TASK when that is set)\n"
         "      --engine mupdf|poppler  the library that paints the pages\n"
         "                          (default mupdf)\n"
         "      --password-file FILE  password for locked PDFs: the file's first line\n"
         "                          (- reads standard input); without it a terminal asks\n"
         "  -R, --recursive         take the PDFs of folders' subfolders too\n"
         "      --no-clobber        refuse to run when PDFs share a name or a first\n"
         "                          page file already exists in FOLDER\n"
         "  -v, --verbose           name the output folder after the run\n"
         "      --files-from LIST   also convert the PDFs listed in LIST, one a line\n"
         "                          (\"-\" reads standard input)\n"
         "  -0, --null              the lists are separated by NUL bytes instead\n"
         "      --report FILE       append one JSON line per PDF to FILE\n"
         "      --resume REPORT     skip the PDFs that REPORT lists as converted and\n"
         "                          unchanged (may be given more than once)\n"
         "  -h, --help              show this text\n"
         "  -V, --version           show the version\n"
         "\n"
         "Status lines go to standard output, messages and errors to standard error.\n"
         "Exit status: 0 every PDF converted; 1 an error ended the run; 2 wrong usage;\n"
         "3 some PDF could not be rendered; 130 stopped by Ctrl-C.\n";
}

}  // namespace quillamar::cli
