// Programs run as child processes by the tests, and the page renderer under test.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quillamar::testing {

/// The page renderer's exit statuses, written out so that a changed number fails the tests.
constexpr int kRendererSucceeded = 0;
constexpr int kRendererFailed = 1;
constexpr int kRendererUsage = 2;
constexpr int kRendererNeedsPassword = 4;

/// How a child process ended.
struct ProcessResult {
  int exit_status = -1;  ///< -1 when a signal ended it
  std::string out;
  std::string err;
};

/// A child process started with standard input from /dev/null and its output into files; the
/// destructor kills and reaps it if it is still running.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& environment);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signal_number) const;
  /// Waits for the end and returns what it wrote.
  ProcessResult Wait();

 private:
  ScratchFolder output_;
  int pid_ = -1;
};

/// Runs the program with the arguments (argv[0] included) and extra environment variables,
/// standard input from /dev/null, and collects its output.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment = {});

/// The page renderer program under test.
std::string RendererPath();

/// The lines of a text, without empty ones.
std::vector<std::string> Lines(const std::string& text);

}  // namespace quillamar::testing
