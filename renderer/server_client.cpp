// The run's side of the prepared renderer: the offer, the hello, and a request per renderer.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "framework/system_calls.h"
#include "renderer/child.h"
#include "renderer/renderer.h"

namespace quillamar::renderer {
namespace {

constexpr int kHelloWaitMs = 1000;   // for a server that may still be on its way at the end
constexpr int kReplyWaitMs = 10000;  // for the server's answer to a request

enum class Received { kReply, kNothingYet, kEnded };

// Waits up to timeout_ms for a reply on the socket. kEnded: the socket's end, or a message that is
// no reply.
Received ReceiveReply(int socket, int timeout_ms, contract::ServerReply& reply) {
  pollfd watched{socket, POLLIN, 0};
  const auto give_up_at = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const int ready =
      RetryOnInterrupt([&] { return ::poll(&watched, 1, MillisecondsUntil(give_up_at)); });
  if (ready == 0) return Received::kNothingYet;
  const ssize_t got =
      RetryOnInterrupt([&] { return ::recv(socket, &reply, sizeof reply, MSG_DONTWAIT); });
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::kNothingYet;
  return got == static_cast<ssize_t>(sizeof reply) ? Received::kReply : Received::kEnded;
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
  const ssize_t sent = RetryOnInterrupt([&] { return ::sendmsg(socket, &message, MSG_NOSIGNAL); });
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
      RetryOnInterrupt([&] { return ::waitpid(pid, nullptr, 0); });
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

}  // namespace quillamar::renderer
