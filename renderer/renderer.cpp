// Starts the page renderer for one PDF with posix_spawn and waits for it, stoppable from outside.
#include "renderer/renderer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "framework/descriptors.h"
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

// The child's descriptors of the page channel and the password: fixed numbers above standard
// error, low enough for any shell script to name.
constexpr int kChildChannelFd = 3;
constexpr int kChildPasswordFd = 4;

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

// What the renderer gets above its standard output; -1 for what it goes without.
struct ChildDescriptors {
  int error = -1;
  int channel = -1;
  int password = -1;

  std::vector<int> Sent() const {
    std::vector<int> sent;
    for (const int fd : {error, channel, password}) {
      if (fd >= 0) sent.push_back(fd);
    }
    return sent;
  }
};

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

int MillisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// A descriptor that becomes readable when the process ends (called directly: the C library's
// wrapper is not declared for C++ on every system we build on).
int OpenProcessDescriptor(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Looks at a child's state without reaping it; false when pid is no child of ours.
bool LookAtChild(pid_t pid, siginfo_t& info) {
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

bool HasEnded(pid_t pid) {
  siginfo_t info{};
  return LookAtChild(pid, info) && info.si_pid != 0;
}

// The two ends of the page channel: ours, and the renderer's moved above the numbers that the
// child's own descriptors take, so that placing it cannot clobber another.
struct ChannelPair {
  FileDescriptor ours;
  FileDescriptor theirs;
};

ChannelPair OpenChannel() {
  int pair[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return ChannelPair{};
  FileDescriptor ours(pair[0]);
  FileDescriptor raw(pair[1]);
  FileDescriptor theirs(::fcntl(raw.Get(), F_DUPFD_CLOEXEC, kChildChannelFd + 1));
  if (theirs.Get() < 0) return ChannelPair{};
  ChannelPair result;
  result.ours = std::move(ours);
  result.theirs = std::move(theirs);
  return result;
}

std::string DescribeEnd(int status) {
  if (WIFSIGNALED(status)) {
    return std::string(kRendererFileName) + " was ended by signal " +
           std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
  }
  return std::string(kRendererFileName) + " ended with exit status " +
         std::to_string(WEXITSTATUS(status));
}

constexpr int kHelloWaitMs = 1000;   // for a server that may still be on its way at the end
constexpr int kReplyWaitMs = 10000;  // for the server's answer to a request

enum class Received { kReply, kNothingYet, kEnded };

// Waits up to timeout_ms for a reply on the socket. kEnded: the socket's end, or a message that is
// no reply.
Received ReceiveReply(int socket, int timeout_ms, contract::ServerReply& reply) {
  pollfd watched{socket, POLLIN, 0};
  const auto give_up_at = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int ready = 0;
  do {
    ready = ::poll(&watched, 1, MillisecondsUntil(give_up_at));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return Received::kNothingYet;
  ssize_t got = -1;
  do {
    got = ::recv(socket, &reply, sizeof reply, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::kNothingYet;
  return got == static_cast<ssize_t>(sizeof reply) ? Received::kReply : Received::kEnded;
}

// A process of ours to wait for: only such a one may be signalled or reaped on the word of a
// message.
bool IsOurChild(pid_t pid) {
  siginfo_t info{};
  return pid > 0 && LookAtChild(pid, info);
}

bool IsHello(const contract::ServerReply& reply) {
  return reply.word == contract::ServerWord::kHello && IsOurChild(reply.number);
}

// One request with its descriptors, whole or not at all.
bool SendRequest(int socket, const std::string& bytes, const std::vector<int>& fds) {
  iovec data{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
  if (!fds.empty()) {
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
  }
  ssize_t sent = -1;
  do {
    sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(bytes.size());
}

}  // namespace

struct RendererServer::State {
  enum class Phase { kUnoffered, kOffered, kReady, kGone };
  std::mutex mutex;
  FileDescriptor ours;
  FileDescriptor theirs;  // until it was offered
  Phase phase = Phase::kGone;
  pid_t pid = -1;

  // Waits up to wait_ms for the hello and keeps the server's process ID from it; kReply only for
  // a hello.
  Received TakeHello(int wait_ms) {
    contract::ServerReply hello{};
    const Received received = ReceiveReply(ours.Get(), wait_ms, hello);
    if (received != Received::kReply) return received;
    if (!IsHello(hello)) return Received::kEnded;
    pid = hello.number;
    return Received::kReply;
  }

  // Takes the hello if it has come within wait_ms; the server's end (or a renderer that ignored
  // the offer and ended) leaves it gone.
  void LookForHello(int wait_ms) {
    if (phase != Phase::kOffered) return;
    const Received received = TakeHello(wait_ms);
    if (received == Received::kReply) {
      phase = Phase::kReady;
    } else if (received != Received::kNothingYet) {
      End();
    }
  }

  // Ends the server, if there is one, and reaps it; nothing is asked of it any more.
  void End() {
    if (phase == Phase::kOffered && ours.Valid()) {
      // A server on its way still says hello, then meets the end of its requests.
      ::shutdown(ours.Get(), SHUT_WR);
      phase = Phase::kGone;
      TakeHello(kHelloWaitMs);
    }
    phase = Phase::kGone;
    ours.Reset();
    theirs.Reset();
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      pid = -1;
    }
  }
};

RendererServer::RendererServer() : state_(std::make_unique<State>()) {
  int pair[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
  state_->ours.Reset(pair[0]);
  const FileDescriptor raw(pair[1]);
  // Above every number the executed renderer's descriptors take, so that placing it clobbers none.
  state_->theirs.Reset(::fcntl(raw.Get(), F_DUPFD_CLOEXEC, contract::kServerFd + 1));
  if (state_->theirs.Valid()) state_->phase = State::Phase::kUnoffered;
}

RendererServer::~RendererServer() {
  const std::lock_guard lock(state_->mutex);
  state_->End();
}

pid_t RendererServer::ServerId() const {
  const std::lock_guard lock(state_->mutex);
  state_->LookForHello(0);
  return state_->phase == State::Phase::kReady ? state_->pid : -1;
}

int RendererServer::TakeOffer() {
  const std::lock_guard lock(state_->mutex);
  if (state_->phase != State::Phase::kUnoffered) return -1;
  state_->phase = State::Phase::kOffered;
  return state_->theirs.Get();
}

void RendererServer::OfferMade() {
  const std::lock_guard lock(state_->mutex);
  state_->theirs.Reset();
}

pid_t RendererServer::Fork(const contract::ServerRequest& request, const std::vector<int>& fds) {
  const std::lock_guard lock(state_->mutex);
  State& s = *state_;
  s.LookForHello(0);
  if (s.phase != State::Phase::kReady) return -1;
  const std::string bytes = contract::EncodeServerRequest(request);
  if (bytes.size() > contract::kMaxServerRequestBytes)
    return -1;  // executed instead, as it always could be
  if (!SendRequest(s.ours.Get(), bytes, fds)) {
    // Too large for the socket's buffer: executed instead; the server stays for the next.
    if (errno != EMSGSIZE && errno != ENOBUFS) s.End();
    return -1;
  }
  contract::ServerReply reply{};
  if (ReceiveReply(s.ours.Get(), kReplyWaitMs, reply) != Received::kReply ||
      reply.word != contract::ServerWord::kStarted) {
    s.End();
    return -1;
  }
  if (reply.number <= 0) return -1;  // the server could not fork: executed instead
  if (!IsOurChild(reply.number)) {
    s.End();
    return -1;
  }
  return reply.number;
}

struct RendererProcess::State {
  std::optional<ChildProcess> child;
  FileDescriptor error_capture;
  FileDescriptor channel;  // ours; closed once the renderer has nothing more to say
  FileDescriptor process_fd;
  StopSignal* stop = nullptr;
  std::string pending;  // channel text not yet a whole line
  bool stopping = false;
  bool killed = false;
  bool ended = false;  // the process has ended (not yet reaped)
  int page_window = 0;
  Clock::time_point kill_at{};

  // Sends SIGTERM once, then SIGKILL once the grace time is over.
  void Escalate() {
    if (!stopping) {
      stopping = true;
      child->Signal(SIGTERM);
      kill_at = Clock::now() + kGraceBeforeKill;
    }
    if (!killed && Clock::now() >= kill_at) {
      child->Signal(SIGKILL);
      killed = true;
    }
  }
  bool StopRequested() const { return stop != nullptr && stop->Requested(); }
  // Milliseconds to wait in poll: none without a process descriptor (short naps instead), and no
  // later than the kill time while stopping.
  int WaitTimeout() const {
    int timeout = process_fd.Get() < 0 ? 50 : -1;
    if (stopping && !killed) {
      const int left = MillisecondsUntil(kill_at);
      timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    return timeout;
  }
  // One whole line from what has been read, if there is one.
  std::optional<PageEvent> TakeLine();
  // Reads what the channel has; false at its end.
  bool ReadChannel();
  // Reads everything left and closes the channel.
  void DrainChannel() {
    while (channel.Get() >= 0 && ReadChannel()) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    }
    channel.Reset();
  }
};

std::optional<PageEvent> RendererProcess::State::TakeLine() {
  for (auto newline = pending.find('\n'); newline != std::string::npos;
       newline = pending.find('\n')) {
    const std::string line = pending.substr(0, newline);
    pending.erase(0, newline + 1);
    const auto space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string word = line.substr(0, space);
    int number = 0;
    const char* digits = line.data() + space + 1;
    const char* end = line.data() + line.size();
    const auto [rest, error] = std::from_chars(digits, end, number);
    if (error != std::errc()) continue;  // not ours: ignored
    if (word == contract::kChannelPageGrowing) {
      unsigned file = 0;
      if (rest == end || *rest != ' ') continue;
      const auto [file_end, file_error] = std::from_chars(rest + 1, end, file);
      if (file_error != std::errc() || file_end != end) continue;
      return PageEvent{PageEvent::Kind::kPageGrowing, number, file};
    }
    if (rest != end) continue;
    if (word == contract::kChannelPageCount) return PageEvent{PageEvent::Kind::kPageCount, number};
    if (word == contract::kChannelPageDone) return PageEvent{PageEvent::Kind::kPageDone, number};
    if (word == contract::kChannelPageFailed) {
      return PageEvent{PageEvent::Kind::kPageFailed, number};
    }
  }
  // A renderer that never ends its lines gets no more room than a few lines.
  if (pending.size() > 4 * static_cast<std::size_t>(contract::kChannelLineMax)) pending.clear();
  return std::nullopt;
}

bool RendererProcess::State::ReadChannel() {
  char buffer[4096];
  ssize_t got = 0;
  do {
    got = ::recv(channel.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    pending.append(buffer, static_cast<std::size_t>(got));
    errno = 0;
    return true;
  }
  return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

RendererProcess::RendererProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}
RendererProcess::~RendererProcess() = default;  // the child is killed and reaped by its owner

std::unique_ptr<RendererProcess> RendererProcess::Start(const RendererRequest& request) {
  auto state = std::make_unique<State>();
  state->stop = request.stop;
  state->error_capture = FileDescriptor(CreateErrorCapture());
  ChannelPair channel;
  if (request.page_channel) channel = OpenChannel();
  RendererRequest effective = request;
  effective.page_channel = channel.theirs.Get() >= 0;
  state->page_window = effective.page_channel ? std::max(request.page_window, 0) : 0;
  const FileDescriptor password_file = CreatePasswordFile(request.password);
  const ChildDescriptors descriptors{state->error_capture.Get(), channel.theirs.Get(),
                                     password_file.Get()};
  std::vector<std::string> env_texts = ChildEnvironment(effective, password_file.Get());

  pid_t pid = -1;
  if (request.server != nullptr) {
    pid = request.server->Fork(ServerRequestFor(request.arguments, env_texts, descriptors),
                               descriptors.Sent());
  }
  if (pid <= 0) {
    const int offer = request.server != nullptr ? request.server->TakeOffer() : -1;
    pid = Execute(request.path, request.arguments, std::move(env_texts), descriptors, offer);
    if (offer >= 0) request.server->OfferMade();
  }
  if (pid <= 0) return nullptr;
  state->child.emplace(pid);
  state->process_fd = FileDescriptor(OpenProcessDescriptor(pid));
  state->channel = std::move(channel.ours);  // the renderer's end closes with `channel`
  return std::unique_ptr<RendererProcess>(new RendererProcess(std::move(state)));
}

PageEvent RendererProcess::NextEvent(int timeout_ms, const std::vector<int>& also_wake) {
  State& s = *state_;
  const auto give_up_at = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool last_look = false;  // the time is up: one more look at what has come, without waiting
  for (;;) {
    if (auto event = s.TakeLine()) return *event;
    // Said on every call while it stands: a caller following the renderer at its PDF's turn
    // hears it even when one that followed it ahead of its turn heard it first.
    if (s.StopRequested()) return {PageEvent::Kind::kStopRequested, 0};
    if (s.channel.Get() < 0 || s.ended) {
      s.DrainChannel();  // what it still holds was written before the end
      if (auto event = s.TakeLine()) return *event;
      return {PageEvent::Kind::kEnded, 0};
    }
    if (last_look) return {PageEvent::Kind::kQuiet, 0};
    std::vector<pollfd> watched = {{s.channel.Get(), POLLIN, 0},
                                   {s.process_fd.Get(), POLLIN, 0},
                                   {s.stop != nullptr ? s.stop->WakeDescriptor() : -1, POLLIN, 0}};
    for (const int fd : also_wake) watched.push_back({fd, POLLIN, 0});
    int wait = s.process_fd.Get() < 0 ? 50 : -1;
    if (timeout_ms >= 0) {
      const int left = MillisecondsUntil(give_up_at);
      last_look = left == 0;
      wait = wait < 0 ? left : std::min(wait, left);
    }
    ::poll(watched.data(), watched.size(), wait);
    if (watched[0].revents != 0 && !s.ReadChannel()) s.channel.Reset();
    s.ended = HasEnded(s.child->pid());
    const bool elsewhere = std::any_of(watched.begin() + 3, watched.end(),
                                       [](const pollfd& entry) { return entry.revents != 0; });
    if (!elsewhere) continue;
    if (auto event = s.TakeLine()) return *event;
    return {PageEvent::Kind::kElsewhere, 0};
  }
}

void RendererProcess::AddWakeDescriptors(std::vector<int>& descriptors) const {
  const State& s = *state_;
  if (s.channel.Get() >= 0) descriptors.push_back(s.channel.Get());
  if (s.process_fd.Get() >= 0 && !s.ended) descriptors.push_back(s.process_fd.Get());
}

void RendererProcess::Reply(const char* word, int number) {
  State& s = *state_;
  if (s.channel.Get() < 0) return;
  const std::string line = std::string(word) + " " + std::to_string(number) + "\n";
  ssize_t put = -1;
  do {
    put = ::send(s.channel.Get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (put < 0 && errno == EINTR);
  // A renderer that does not read its replies is simply not paced, nor granted workers.
}

void RendererProcess::Consumed(int page) { Reply(contract::kChannelConsumed, page); }

void RendererProcess::OfferSpare(int page) { Reply(contract::kChannelSpare, page); }

void RendererProcess::GrantWorkers(int workers) { Reply(contract::kChannelWorkers, workers); }

std::string RendererProcess::GrowingFileName(unsigned file) const {
  return contract::TemporaryPageName(state_->child->pid(), file);
}

int RendererProcess::PageWindow() const { return state_->page_window; }

void RendererProcess::Stop() { state_->Escalate(); }

RenderOutcome RendererProcess::Finish() {
  State& s = *state_;
  s.channel.Reset();  // a renderer still writing must not block on a full channel
  while (!HasEnded(s.child->pid())) {
    if (s.StopRequested() || s.stopping) s.Escalate();
    pollfd watched[2] = {{s.process_fd.Get(), POLLIN, 0}, {-1, POLLIN, 0}};
    if (s.stop != nullptr && !s.stopping) watched[1].fd = s.stop->WakeDescriptor();
    ::poll(watched, 2, s.WaitTimeout());
  }
  const int status = s.child->Reap();
  RenderOutcome outcome;
  if (s.stopping) {
    outcome.kind = RenderOutcome::Kind::kStopped;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    outcome.kind = RenderOutcome::Kind::kSucceeded;
  } else {
    outcome.kind = RenderOutcome::Kind::kFailed;
  }
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  outcome.signal_number = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  const std::string error_tail = ErrorTail(s.error_capture.Get());
  outcome.warnings = WarningLines(error_tail);
  if (outcome.kind == RenderOutcome::Kind::kFailed) {
    // A renderer ended by a signal is reported as such, whatever it wrote before.
    if (!WIFSIGNALED(status)) outcome.error_line = LastLine(error_tail);
    if (outcome.error_line.empty()) outcome.error_line = DescribeEnd(status);
  }
  return outcome;
}

RenderOutcome RunRenderer(const RendererRequest& request) {
  RendererRequest quiet = request;
  quiet.page_channel = false;
  const std::unique_ptr<RendererProcess> process = RendererProcess::Start(quiet);
  if (!process) return RenderOutcome{};  // kNotStarted
  return process->Finish();
}

}  // namespace quillamar::renderer
