// Programs run as child processes by the tests.
#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace quillamar::testing {
namespace {

[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const ProcessSetup& setup) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC;
  const int in = ::open(setup.input.c_str(), O_RDONLY);
  const int terminal =
      setup.terminal.empty() ? -1 : ::open(setup.terminal.c_str(), O_RDWR | O_NOCTTY);
  const int out = terminal >= 0       ? terminal
                  : setup.out_fd >= 0 ? setup.out_fd
                                      : ::open(setup.out.c_str(), kFlags, 0644);
  const int err = terminal >= 0 ? terminal : ::open(setup.err.c_str(), kFlags, 0644);
  if (in < 0 || out < 0 || err < 0) ::_exit(127);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  if (!setup.folder.empty() && ::chdir(setup.folder.c_str()) != 0) ::_exit(127);
  for (const auto& [name, value] : setup.environment) ::setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

}  // namespace

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, ProcessSetup setup)
    : setup_(std::move(setup)) {
  if (setup_.out.empty()) setup_.out = scratch_.path() / "out";
  if (setup_.err.empty()) setup_.err = scratch_.path() / "err";
  pid_ = ::fork();
  if (pid_ == 0) ExecChild(argv, setup_);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Wait(std::chrono::seconds(0));
}

pid_t ChildProcess::Child() const {
  std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                         "/children");
  pid_t child = 0;
  return children >> child ? child : 0;
}

void ChildProcess::Signal(int signal_number) const { ::kill(pid_, signal_number); }

ProcessResult ChildProcess::Wait(std::chrono::seconds patience) {
  int status = 0;
  struct rusage usage {};
  // The tests catch no signals, so wait4 is never interrupted.
  const bool ended =
      WaitFor([&] { return ::wait4(pid_, &status, WNOHANG, &usage) != 0; }, patience);
  ProcessResult result;
  result.peak_kilobytes = usage.ru_maxrss;
  if (ended) {
    result.exit_status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  } else {
    if (const pid_t child = Child(); child > 0) ::kill(child, SIGKILL);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  result.out = ReadFileText(setup_.out);
  result.err = ReadFileText(setup_.err);
  return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment) {
  return ChildProcess(argv, {.environment = environment}).Wait();
}

std::string RendererPath() { return std::string(QUILLAMAR_BIN_DIR) + "/lib.dll"; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace quillamar::testing
