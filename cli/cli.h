// The command-line front end: the same conversion run as the window, reported on the terminal.
#pragma once

#include <string>
#include <vector>

#include "batch/page_names.h"
#include "framework/result.h"

namespace quillamar::cli {

/// What the user asked for on the command line.
struct CommandLine {
  std::string format = batch::kJpgFormat;  ///< batch::kJpgFormat or batch::kPngFormat
  std::string resolution = "72";  ///< a whole number the renderer takes, handed on verbatim
  std::string output;             ///< the output folder as typed
  bool output_given = false;
  std::vector<std::string> files;  ///< PDFs and folders, in the order given
  /// --password-file: its first line opens locked PDFs; "-" reads it from standard input.
  std::string password_file;
  int jobs = 0;        ///< most workers; 0 for the CPUs the process may run on
  std::string engine;  ///< --engine: "mupdf" or "poppler"; empty for the renderer's default
  bool help = false;
  bool version = false;

  // Folders, name clashes, the output folder shown.
  bool recursive = false;   ///< folders' subfolders are walked too
  bool no_clobber = false;  ///< refuse a run that would replace page files
  bool verbose = false;     ///< the output folder's path after "已完成！"

  // Large collections.
  std::vector<std::string> file_lists;      ///< lists of PDF paths ("-": standard input)
  bool null_separated = false;              ///< the lists' entries end with NUL, not newline
  std::string report;                       ///< the JSON-lines report to append to, or empty
  std::vector<std::string> resume_reports;  ///< reports whose converted PDFs are skipped
};

/// Parses the arguments after the program name; fails with one line saying what is wrong.
Result<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments);

/// -j's default: the CPUs the process may run on, at most Slurm's share of them. A scheduler that
/// binds no CPUs (Slurm's task/none) leaves a task the whole host's, while the task was given
/// SLURM_CPUS_PER_TASK (null when unset; ignored when not a positive number).
int DefaultJobs(int usable_cpus, const char* slurm_cpus_per_task);

/// The usage text printed by --help and after a usage error.
std::string UsageText();

/// Exit statuses of quillamar-cli.
enum ExitStatus : int {
  kExitConverted = 0,      ///< every PDF converted
  kExitError = 1,          ///< an error ended the run
  kExitUsage = 2,          ///< the command line was wrong
  kExitSomeFailed = 3,     ///< the run completed but some PDF could not be rendered
  kExitInterrupted = 130,  ///< stopped by Ctrl-C or SIGTERM
};

/// The whole program: parses, runs, reports; returns the exit status.
int Main(int argc, char** argv);

}  // namespace quillamar::cli
