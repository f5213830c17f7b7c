// Starts the page renderer for one PDF with posix_spawn and waits for it, stoppable from outside.
#include "renderer/renderer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "framework/paths.h"

extern char** environ;

namespace quillamar::renderer {

std::string RendererPathBeside(const std::string& executable) {
  return FolderOf(executable) + "/" + kRendererFileName;
}

std::string RendererPath() { return RendererPathBeside(RunningExecutablePath()); }

std::string OutputPattern(const std::string& folder, const std::string& base_name) {
  return folder + "/" + base_name + "_%d.png";
}

std::string PageFilePath(const std::string& folder, const std::string& base_name, int page,
                         const char* extension) {
  return folder + "/" + base_name + "_" + std::to_string(page) + extension;
}

std::vector<std::string> RendererArguments(const std::string& folder, const std::string& base_name,
                                           const std::string& resolution, const std::string& pdf) {
  return {contract::kProgramArgument,
          contract::kOutputOption,
          OutputPattern(folder, base_name),
          contract::kFormatOption,
          contract::kPngFormat,
          contract::kResolutionOption,
          resolution,
          pdf};
}

StopSignal::StopSignal() {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) pipe_[0] = pipe_[1] = -1;
}

StopSignal::~StopSignal() {
  for (const int fd : pipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void StopSignal::Request() noexcept {
  const int saved_errno = errno;  // may run inside a signal handler
  requested_.store(true);
  if (pipe_[1] >= 0) {
    [[maybe_unused]] const ssize_t ignored = ::write(pipe_[1], "s", 1);
  }
  errno = saved_errno;
}

void StopSignal::Reset() noexcept {
  requested_.store(false);
  char drain[64];
  while (pipe_[0] >= 0 && ::read(pipe_[0], drain, sizeof drain) > 0) {
  }
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kGraceBeforeKill = std::chrono::seconds(2);
constexpr std::size_t kErrorTailBytes = 8192;

// Owns a descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

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

// A started child: waited for in the destructor (killed first if nobody waited), so no zombie and
// no orphan is left whatever happens on the way.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ~ChildProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signal_number) const { ::kill(pid_, signal_number); }
  pid_t pid() const { return pid_; }
  // Waits for the end and returns the wait status.
  int Reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_;
};

// An unlinked temporary file that collects the renderer's standard error.
int CreateErrorCapture() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quillamar-renderer-XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
}

// The last non-empty line of what the renderer wrote to standard error.
std::string LastErrorLine(int fd) {
  if (fd < 0) return {};
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size <= 0) return {};
  const off_t start = std::max<off_t>(0, size - static_cast<off_t>(kErrorTailBytes));
  std::string tail(static_cast<std::size_t>(size - start), '\0');
  const ssize_t got = ::pread(fd, tail.data(), tail.size(), start);
  tail.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r' || tail.back() == ' ')) {
    tail.pop_back();
  }
  const auto newline = tail.rfind('\n');
  return newline == std::string::npos ? tail : tail.substr(newline + 1);
}

// Our environment with the intermediate-page hint set or removed.
std::vector<std::string> ChildEnvironment(bool intermediate_pages) {
  const std::string prefix = std::string(kIntermediateEnv) + "=";
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) entries.emplace_back(*entry);
  }
  if (intermediate_pages) entries.push_back(prefix + "1");
  return entries;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The child starts with default signal handling and nothing blocked, whatever the caller set.
void PrepareSpawn(SpawnSetup& setup, int error_fd) {
  ::posix_spawn_file_actions_addopen(setup.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(setup.actions(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (error_fd >= 0) ::posix_spawn_file_actions_adddup2(setup.actions(), error_fd, STDERR_FILENO);
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

int MillisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// A descriptor that becomes readable when the process ends (called directly: the C library's
// wrapper is not declared for C++ on every system we build on).
int OpenProcessDescriptor(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool HasEnded(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid != 0;
}

// Waits until the child has ended, without reaping it; a stop request sends SIGTERM, then SIGKILL
// after the grace time. Returns whether a stop was requested while it ran.
bool AwaitEnd(ChildProcess& child, StopSignal* stop) {
  const Descriptor process_fd(OpenProcessDescriptor(child.pid()));
  // Without a process descriptor (old kernels) the wait falls back to short naps.
  const int nap = process_fd.get() < 0 ? 50 : -1;
  bool stopping = false;
  bool killed = false;
  Clock::time_point kill_at{};
  while (!HasEnded(child.pid())) {
    if (!stopping && stop != nullptr && stop->Requested()) {
      stopping = true;
      child.Signal(SIGTERM);
      kill_at = Clock::now() + kGraceBeforeKill;
    }
    if (stopping && !killed && Clock::now() >= kill_at) {
      child.Signal(SIGKILL);
      killed = true;
    }
    pollfd watched[2] = {{process_fd.get(), POLLIN, 0}, {-1, POLLIN, 0}};
    if (stop != nullptr && !stopping) watched[1].fd = stop->WakeDescriptor();
    int timeout = nap;
    if (stopping && !killed) {
      timeout = nap < 0 ? MillisecondsUntil(kill_at) : std::min(nap, MillisecondsUntil(kill_at));
    }
    ::poll(watched, 2, timeout);
  }
  return stopping;
}

std::string DescribeEnd(int status) {
  if (WIFSIGNALED(status)) {
    return std::string(kRendererFileName) + " was ended by signal " +
           std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
  }
  return std::string(kRendererFileName) + " ended with exit status " +
         std::to_string(WEXITSTATUS(status));
}

}  // namespace

RenderOutcome RunRenderer(const std::string& path, const std::vector<std::string>& arguments,
                          bool intermediate_pages, StopSignal* stop) {
  RenderOutcome outcome;
  const Descriptor error_capture(CreateErrorCapture());
  SpawnSetup setup;
  PrepareSpawn(setup, error_capture.get());
  std::vector<std::string> argv_texts = arguments;
  std::vector<std::string> env_texts = ChildEnvironment(intermediate_pages);
  const std::vector<char*> argv = PointersTo(argv_texts);
  const std::vector<char*> envp = PointersTo(env_texts);

  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv.data(),
                    envp.data()) != 0) {
    return outcome;  // kNotStarted
  }
  ChildProcess child(pid);
  const bool stopped = AwaitEnd(child, stop);
  const int status = child.Reap();

  if (stopped) {
    outcome.kind = RenderOutcome::Kind::kStopped;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    outcome.kind = RenderOutcome::Kind::kSucceeded;
  } else {
    outcome.kind = RenderOutcome::Kind::kFailed;
  }
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  outcome.signal_number = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (outcome.kind == RenderOutcome::Kind::kFailed) {
    // A renderer ended by a signal is reported as such, whatever it wrote before.
    if (!WIFSIGNALED(status)) outcome.error_line = LastErrorLine(error_capture.get());
    if (outcome.error_line.empty()) outcome.error_line = DescribeEnd(status);
  }
  return outcome;
}

}  // namespace quillamar::renderer
