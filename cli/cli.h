// The command-line front end: the same conversion run as the window, reported on the terminal.
#pragma once

#include <string>
#include <vector>

namespace quillamar::cli {

/// What the user asked for on the command line.
struct CommandLine {
  std::string format = "JPG";     ///< "JPG" or "PNG"
  std::string resolution = "72";  ///< handed to the renderer verbatim
  std::string output;             ///< the output folder as typed
  std::vector<std::string> files;
  int jobs = 0;  ///< most workers; 0 for the CPUs the process may run on
  bool help = false;
  bool version = false;
};

/// The parsed command line, or what is wrong with it.
struct ParseResult {
  bool ok = false;
  CommandLine line;
  std::string error;  ///< one line, when not ok
};

/// Parses the arguments after the program name.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

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
