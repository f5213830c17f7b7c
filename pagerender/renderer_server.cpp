// The server the run may offer: a prepared copy of the renderer that later renderers of the run
// are forked from, each as the run's own child.
#include "contract/renderer_server.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "framework/descriptors.h"
#include "pagerender/pagerender.h"
#include "pagerender/pdf_document.h"

namespace quillamar::pagerender {
namespace {

// The server keeps its socket up here, above every number a request places.
constexpr int kServerSocketFloor = 64;
// Received descriptors wait up here while they are put in place.
constexpr int kParkingFloor = 128;
constexpr std::size_t kMaxDescriptors = 8;

// The socket the run offers, or -1 (no offer, or not a socket of the offered kind). The variable
// goes either way: renderers started from here get their own environment.
int OfferedSocket() {
  const char* text = std::getenv(contract::kServerEnv);
  if (text == nullptr) return -1;
  const std::string value(text);
  ::unsetenv(contract::kServerEnv);
  int fd = -1;
  const auto [rest, error] = std::from_chars(value.data(), value.data() + value.size(), fd);
  if (error != std::errc() || rest != value.data() + value.size() || fd < 0) return -1;
  int type = 0;
  socklen_t size = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_SEQPACKET) {
    return -1;
  }
  return fd;
}

// A new process as fork() makes it, but whose parent is ours: the run waits for it, signals it
// and reads its exit status as for any renderer it executed. Only ever called while this process
// has a single thread, as fork() would be.
pid_t ForkBesideUs() {
  return static_cast<pid_t>(::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0, 0, 0, 0));
}

void Reply(int socket, contract::ServerWord word, std::int32_t number) {
  const contract::ServerReply reply{word, number};
  RetryOnInterrupt([&] { return ::send(socket, &reply, sizeof reply, MSG_NOSIGNAL); });
}

// Keeps only the socket, moved up, and standard input, output and error on /dev/null: the server
// holds nothing of the renderer it was started beside (its channel above all, whose end the run
// waits for).
int KeepOnlySocket(int offered) {
  const int socket = ::fcntl(offered, F_DUPFD_CLOEXEC, kServerSocketFloor);
  if (socket < 0) ::_exit(kExitFailure);
  ::close_range(STDERR_FILENO + 1, static_cast<unsigned>(socket - 1), 0);
  ::close_range(static_cast<unsigned>(socket + 1), ~0U, 0);
  FileDescriptor null(::open("/dev/null", O_RDWR));
  for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    ::dup2(null.Get(), standard);
  }
  if (null.Get() <= STDERR_FILENO) null.Release();  // it is one of the standard ones now
  return socket;
}

// One request as it came, its descriptors still where they arrived.
struct Received {
  bool closed = false;  // the run is done: the server ends
  std::optional<contract::ServerRequest> request;
  std::vector<int> fds;
};

void CloseAll(const std::vector<int>& fds) {
  for (const int fd : fds) FileDescriptor(fd).Reset();
}

Received Receive(int socket) {
  Received received;
  const ssize_t size =
      RetryOnInterrupt([&] { return ::recv(socket, nullptr, 0, MSG_PEEK | MSG_TRUNC); });
  if (size <= 0) {
    received.closed = true;
    return received;
  }
  std::string bytes(
      std::min<std::size_t>(static_cast<std::size_t>(size), contract::kMaxServerRequestBytes),
      '\0');
  iovec data{bytes.data(), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got =
      RetryOnInterrupt([&] { return ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC); });
  if (got <= 0) {
    received.closed = true;
    return received;
  }
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
      received.fds.push_back(fd);
    }
  }
  const bool whole = (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
                     static_cast<std::size_t>(got) == bytes.size();
  if (whole) received.request = contract::DecodeServerRequest(bytes);
  if (received.request && received.request->targets.size() != received.fds.size()) {
    received.request.reset();
  }
  return received;
}

bool UsableTargets(const std::vector<std::int32_t>& targets) {
  for (const std::int32_t target : targets) {
    if (target < 0 || target >= kServerSocketFloor) return false;
  }
  return true;
}

// In the forked renderer: each descriptor at its target, every other one above standard error
// closed (the server's socket too).
void PlaceDescriptors(const std::vector<int>& fds, const std::vector<std::int32_t>& targets) {
  std::vector<int> parked;
  for (const int fd : fds) parked.push_back(::fcntl(fd, F_DUPFD_CLOEXEC, kParkingFloor));
  bool kept[kServerSocketFloor] = {};
  for (std::size_t i = 0; i < parked.size(); ++i) {
    ::dup2(parked[i], targets[i]);  // clears close-on-exec on the target
    kept[targets[i]] = true;
  }
  for (int fd = STDERR_FILENO + 1; fd < kServerSocketFloor; ++fd) {
    if (!kept[fd]) FileDescriptor(fd).Reset();
  }
  ::close_range(kServerSocketFloor, ~0U, 0);
}

// In the forked renderer: the request's environment in place of the server's.
void UseEnvironment(const std::vector<std::string>& environment) {
  static std::vector<std::string> kept;  // putenv keeps the strings themselves
  kept = environment;
  ::clearenv();
  for (std::string& entry : kept) {
    if (entry.find('=') != std::string::npos) ::putenv(entry.data());
  }
  UseProgramFontSetup();
}

// The process's own argument text, which process listings show.
struct ArgumentArea {
  char* start = nullptr;
  std::size_t size = 0;
};

ArgumentArea AreaOf(int argc, char** argv) {
  if (argc <= 0) return {};
  char* last = argv[argc - 1];
  return ArgumentArea{argv[0], static_cast<std::size_t>(last + std::strlen(last) + 1 - argv[0])};
}

// In the forked renderer: the listings show its own arguments (as many as fit) rather than
// those of the renderer the server was started beside.
void ShowArguments(const ArgumentArea& area, const std::vector<std::string>& arguments) {
  if (area.size == 0) return;
  std::string text;
  for (const std::string& argument : arguments) text.append(argument).push_back('\0');
  text.resize(area.size - 1, '\0');
  std::memcpy(area.start, text.data(), text.size());
  area.start[area.size - 1] = '\0';
}

// Answers requests until the run closes its end; returns only in each forked renderer, with its
// arguments.
std::vector<std::string> Serve(int socket, const ArgumentArea& area) {
  Reply(socket, contract::ServerWord::kHello, static_cast<std::int32_t>(::getpid()));
  PrepareRendering();
  for (;;) {
    Received received = Receive(socket);
    if (received.closed) ::_exit(kExitSuccess);
    if (!received.request || !UsableTargets(received.request->targets)) {
      CloseAll(received.fds);
      Reply(socket, contract::ServerWord::kStarted, -EINVAL);
      continue;
    }
    const pid_t pid = ForkBesideUs();
    if (pid == 0) {
      PlaceDescriptors(received.fds, received.request->targets);
      UseEnvironment(received.request->environment);
      ShowArguments(area, received.request->arguments);
      return std::move(received.request->arguments);
    }
    Reply(socket, contract::ServerWord::kStarted, pid > 0 ? pid : -errno);
    CloseAll(received.fds);
  }
}

}  // namespace

std::vector<std::string> ServeIfOffered(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  const int offered = OfferedSocket();
  if (offered < 0) return arguments;
  const pid_t run = ::getppid();
  const pid_t server = ForkBesideUs();
  if (server != 0) {  // this renderer goes on with its own PDF
    FileDescriptor(offered).Reset();
    return arguments;
  }
  // The server must not outlive the run, whose end also ends its requests.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != run) ::_exit(kExitFailure);
  return Serve(KeepOnlySocket(offered), AreaOf(argc, argv));
}

}  // namespace quillamar::pagerender
