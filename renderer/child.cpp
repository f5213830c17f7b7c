// Starting the renderer with posix_spawn, watching for its end, and reading its standard error.
#include "renderer/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "framework/system_calls.h"

extern char** environ;

namespace quillamar::renderer {
namespace {

constexpr std::size_t kErrorTailBytes = 8192;

// The spawn attributes and file actions, destroyed in every case.
class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

bool IsContractVariable(const char* entry) {
  for (const char* name :
       {kIntermediateEnv, contract::kPageChannelEnv, contract::kWorkersEnv,
        contract::kWorkersNowEnv, contract::kPageWindowEnv, contract::kPasswordFdEnv,
        contract::kMemoryBudgetEnv, contract::kServerEnv, contract::kEngineEnv}) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') return true;
  }
  return false;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The child starts with default signal handling and nothing blocked, whatever the caller set.
void PrepareSpawn(SpawnSetup& setup, int error_fd, int channel_fd, int password_fd, int server_fd) {
  ::posix_spawn_file_actions_addopen(setup.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(setup.actions(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (error_fd >= 0) ::posix_spawn_file_actions_adddup2(setup.actions(), error_fd, STDERR_FILENO);
  if (channel_fd >= 0) {
    ::posix_spawn_file_actions_adddup2(setup.actions(), channel_fd, kChildChannelFd);
  }
  // A dup2 clears close-on-exec in the child alone: no other child inherits it.
  if (password_fd >= 0) {
    ::posix_spawn_file_actions_adddup2(setup.actions(), password_fd, kChildPasswordFd);
  }
  if (server_fd >= 0) {
    ::posix_spawn_file_actions_adddup2(setup.actions(), server_fd, contract::kServerFd);
  }
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal_number : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT}) {
    sigaddset(&defaults, signal_number);
  }
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigdefault(setup.attributes(), &defaults);
  ::posix_spawnattr_setsigmask(setup.attributes(), &none);
  ::posix_spawnattr_setflags(setup.attributes(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

// Looks at a child's state without reaping it; false when pid is no child of ours.
bool LookAtChild(pid_t pid, siginfo_t& info) {
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  Reap();
}

void ChildProcess::Signal(int signal_number) const { ::kill(pid_, signal_number); }

int ChildProcess::Reap() {
  int status = 0;
  RetryOnInterrupt([&] { return ::waitpid(pid_, &status, 0); });
  pid_ = -1;
  return status;
}

int MillisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// An unlinked temporary file that collects the renderer's standard error.
int CreateErrorCapture() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quillamar-renderer-XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
}

// The end of what the renderer wrote to standard error.
std::string ErrorTail(int fd) {
  if (fd < 0) return {};
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size <= 0) return {};
  const off_t start = std::max<off_t>(0, size - static_cast<off_t>(kErrorTailBytes));
  std::string tail(static_cast<std::size_t>(size - start), '\0');
  const ssize_t got = ::pread(fd, tail.data(), tail.size(), start);
  tail.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return tail;
}

// The last non-empty line of the text.
std::string LastLine(std::string tail) {
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r' || tail.back() == ' ')) {
    tail.pop_back();
  }
  const auto newline = tail.rfind('\n');
  return newline == std::string::npos ? tail : tail.substr(newline + 1);
}

// The complete warning lines in the text, without their prefix and line ending.
std::vector<std::string> WarningLines(const std::string& tail) {
  constexpr std::string_view prefix = contract::kWarningPrefix;
  std::vector<std::string> warnings;
  for (std::size_t at = 0; at < tail.size();) {
    const std::size_t end = std::min(tail.find('\n', at), tail.size());
    std::string_view line(tail.data() + at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.starts_with(prefix) && end < tail.size()) {
      warnings.emplace_back(line.substr(prefix.size()));
    }
    at = end + 1;
  }
  return warnings;
}

std::string DescribeEnd(int status) {
  if (WIFSIGNALED(status)) {
    return std::string(kRendererFileName) + " was ended by signal " +
           std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
  }
  return std::string(kRendererFileName) + " ended with exit status " +
         std::to_string(WEXITSTATUS(status));
}

// An anonymous in-memory file holding the password, read from its start, numbered above the
// child's places; invalid without a password or when it cannot be made (the renderer then
// reports the PDF as locked).
FileDescriptor CreatePasswordFile(const std::optional<std::string>& password) {
  if (!password) return FileDescriptor();
  const FileDescriptor memory(::memfd_create("quillamar-password", MFD_CLOEXEC));
  if (memory.Get() < 0) return FileDescriptor();
  if (WriteAll(memory.Get(), password->data(), password->size()) != password->size() ||
      ::lseek(memory.Get(), 0, SEEK_SET) != 0) {
    return FileDescriptor();
  }
  return FileDescriptor(::fcntl(memory.Get(), F_DUPFD_CLOEXEC, kChildPasswordFd + 1));
}

// Our environment with the contract's variables set as the request says, or removed.
std::vector<std::string> ChildEnvironment(const RendererRequest& request, int password_fd) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (!IsContractVariable(*entry)) entries.emplace_back(*entry);
  }
  const auto set = [&](const char* name, const std::string& value) {
    entries.push_back(std::string(name) + "=" + value);
  };
  if (request.intermediate_pages) set(kIntermediateEnv, "1");
  if (request.page_channel) {
    const std::string fd = std::to_string(kChildChannelFd);
    set(contract::kPageChannelEnv, fd + "," + fd);
  }
  if (request.workers > 0) set(contract::kWorkersEnv, std::to_string(request.workers));
  if (request.page_channel && request.workers_now > 0 && request.workers_now < request.workers) {
    set(contract::kWorkersNowEnv, std::to_string(request.workers_now));
  }
  if (request.page_channel && request.page_window > 0) {
    set(contract::kPageWindowEnv, std::to_string(request.page_window));
  }
  if (request.memory_budget > 0) {
    set(contract::kMemoryBudgetEnv, std::to_string(request.memory_budget));
  }
  if (!request.engine.empty()) set(contract::kEngineEnv, request.engine);
  if (password_fd >= 0) set(contract::kPasswordFdEnv, std::to_string(kChildPasswordFd));
  return entries;
}

// The server's request for what an executed renderer would get, descriptors in Sent() order.
contract::ServerRequest ServerRequestFor(const std::vector<std::string>& arguments,
                                         const std::vector<std::string>& environment,
                                         const ChildDescriptors& descriptors) {
  contract::ServerRequest request{arguments, environment, {}};
  const std::pair<int, int> places[] = {{descriptors.error, STDERR_FILENO},
                                        {descriptors.channel, kChildChannelFd},
                                        {descriptors.password, kChildPasswordFd}};
  for (const auto& [fd, target] : places) {
    if (fd >= 0) request.targets.push_back(target);
  }
  return request;
}

// Executes the renderer, offering it the server's socket when server_fd is one; -1 when it
// cannot be started.
pid_t Execute(const std::string& path, std::vector<std::string> arguments,
              std::vector<std::string> environment, const ChildDescriptors& descriptors,
              int server_fd) {
  if (server_fd >= 0) {
    environment.push_back(std::string(contract::kServerEnv) + "=" +
                          std::to_string(contract::kServerFd));
  }
  SpawnSetup setup;
  PrepareSpawn(setup, descriptors.error, descriptors.channel, descriptors.password, server_fd);
  const std::vector<char*> argv = PointersTo(arguments);
  const std::vector<char*> envp = PointersTo(environment);
  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv.data(),
                    envp.data()) != 0) {
    return -1;
  }
  return pid;
}

// Called directly: the C library's wrapper is not declared for C++ on every system we build on.
int OpenProcessDescriptor(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool HasEnded(pid_t pid) {
  siginfo_t info{};
  return LookAtChild(pid, info) && info.si_pid != 0;
}

// A process of ours to wait for: only such a one may be signalled or reaped on the word of a
// message.
bool IsOurChild(pid_t pid) {
  siginfo_t info{};
  return pid > 0 && LookAtChild(pid, info);
}

}  // namespace quillamar::renderer
