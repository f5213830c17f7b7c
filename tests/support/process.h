// Programs run as child processes by the tests, and the page renderer under test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quillamar {

/// quillamar-cli's exit statuses, which scripts rely on, written out so that a changed number
/// fails the tests.
constexpr int kStatusConverted = 0;
constexpr int kStatusError = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusSomeFailed = 3;
constexpr int kStatusInterrupted = 130;

namespace testing {

/// The page renderer's exit statuses, written out so that a changed number fails the tests.
constexpr int kRendererSucceeded = 0;
constexpr int kRendererFailed = 1;
constexpr int kRendererUsage = 2;
constexpr int kRendererNeedsPassword = 4;

/// How long a test waits for a condition, and for a program (which may render a long PDF under a
/// sanitizer on a busy machine), before it fails instead of hanging.
constexpr auto kPatience = std::chrono::seconds(60);
constexpr auto kProcessPatience = std::chrono::seconds(600);
/// The exit status of a process that outlived the patience and was killed.
constexpr int kHung = -1;

/// Polls until the condition holds; false when it did not within the patience.
bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds patience = kPatience);

/// How a child process ended.
struct ProcessResult {
  int exit_status = kHung;  ///< 128 + the signal's number when a signal ended it
  long peak_kilobytes = 0;  ///< the most memory it (or the largest of its children) held
  std::string out;
  std::string err;
};

/// Where a child process starts, reads and writes.
struct ProcessSetup {
  std::map<std::string, std::string> environment{};  ///< set on top of ours
  std::string folder{};                              ///< working folder; empty: ours
  std::string input = "/dev/null";                   ///< standard input
  std::string out{}, err{};  ///< files for standard output and error; empty: a scratch folder's
  int out_fd = -1;           ///< a descriptor to inherit as standard output instead of `out`
  std::string terminal{};    ///< a terminal for standard output and error instead of both files
};

/// A child process; the destructor kills it (and the process it runs) if it is still running.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, ProcessSetup setup);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  /// The process it runs now (the renderer, for the CLI); 0 when none.
  pid_t Child() const;
  void Signal(int signal_number) const;
  /// Waits for the end, killing it after the patience, and returns what it wrote.
  ProcessResult Wait(std::chrono::seconds patience = kProcessPatience);

 private:
  ScratchFolder scratch_;
  ProcessSetup setup_;
  pid_t pid_ = -1;
};

/// Runs the program with the arguments (argv[0] included) and extra environment variables,
/// standard input from /dev/null, and collects its output.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment = {});

/// The page renderer program under test.
std::string RendererPath();

/// The lines of a text, without empty ones.
std::vector<std::string> Lines(const std::string& text);

}  // namespace testing
}  // namespace quillamar
