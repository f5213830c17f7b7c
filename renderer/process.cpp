// A running renderer: its start, its announcements, its stop and its end.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "renderer/channel.h"
#include "renderer/child.h"
#include "renderer/renderer.h"

namespace quillamar::renderer {
namespace {

using Kind = contract::ChannelMessage::Kind;
constexpr auto kGraceBeforeKill = std::chrono::seconds(2);

}  // namespace

struct RendererProcess::State {
  std::optional<ChildProcess> child;
  FileDescriptor error_capture;
  RunChannel channel;  // closed once the renderer has nothing more to say
  FileDescriptor process_fd;
  StopSignal* stop = nullptr;
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
};

RendererProcess::RendererProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}
RendererProcess::~RendererProcess() = default;  // the child is killed and reaped by its owner

std::unique_ptr<RendererProcess> RendererProcess::Start(const RendererRequest& request) {
  auto state = std::make_unique<State>();
  state->stop = request.stop;
  state->error_capture = FileDescriptor(CreateErrorCapture());
  if (request.page_channel) state->channel = RunChannel::Open();
  RendererRequest effective = request;
  effective.page_channel = state->channel.Theirs().Valid();
  state->page_window = effective.page_channel ? std::max(request.page_window, 0) : 0;
  const FileDescriptor password_file = CreatePasswordFile(request.password);
  const ChildDescriptors descriptors{state->error_capture.Get(), state->channel.Theirs().Get(),
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
  state->channel.Theirs().Reset();  // the renderer has its own copy
  return std::unique_ptr<RendererProcess>(new RendererProcess(std::move(state)));
}

PageEvent RendererProcess::NextEvent(int timeout_ms, const std::vector<int>& also_wake) {
  State& s = *state_;
  const auto give_up_at = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool last_look = false;  // the time is up: one more look at what has come, without waiting
  for (;;) {
    if (auto event = s.channel.NextEvent()) return *event;
    // Said on every call while it stands: a caller following the renderer at its PDF's turn
    // hears it even when one that followed it ahead of its turn heard it first.
    if (s.StopRequested()) return {PageEvent::Kind::kStopRequested, 0};
    if (s.channel.Descriptor() < 0 || s.ended) {
      s.channel.Drain();  // what it still holds was written before the end
      if (auto event = s.channel.NextEvent()) return *event;
      return {PageEvent::Kind::kEnded, 0};
    }
    if (last_look) return {PageEvent::Kind::kQuiet, 0};
    std::vector<pollfd> watched = {{s.channel.Descriptor(), POLLIN, 0},
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
    if (watched[0].revents != 0 && !s.channel.Read()) s.channel.Close();
    s.ended = HasEnded(s.child->pid());
    const bool elsewhere = std::any_of(watched.begin() + 3, watched.end(),
                                       [](const pollfd& entry) { return entry.revents != 0; });
    if (!elsewhere) continue;
    if (auto event = s.channel.NextEvent()) return *event;
    return {PageEvent::Kind::kElsewhere, 0};
  }
}

void RendererProcess::AddWakeDescriptors(std::vector<int>& descriptors) const {
  const State& s = *state_;
  if (s.channel.Descriptor() >= 0) descriptors.push_back(s.channel.Descriptor());
  if (s.process_fd.Get() >= 0 && !s.ended) descriptors.push_back(s.process_fd.Get());
}

void RendererProcess::Consumed(int page) { state_->channel.Reply(Kind::kConsumed, page); }

void RendererProcess::OfferSpare(int page) { state_->channel.Reply(Kind::kSpare, page); }

void RendererProcess::GrantWorkers(int workers) { state_->channel.Reply(Kind::kWorkers, workers); }

std::string RendererProcess::GrowingFileName(unsigned file) const {
  return contract::TemporaryPageName(state_->child->pid(), file);
}

int RendererProcess::PageWindow() const { return state_->page_window; }

void RendererProcess::Stop() { state_->Escalate(); }

RenderOutcome RendererProcess::Finish() {
  State& s = *state_;
  s.channel.Close();  // a renderer still writing must not block on a full channel
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
