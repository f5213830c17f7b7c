// The renderer as our child process: its descriptors and environment, its start, its end, and
// what it wrote to standard error. Internal to renderer/.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "contract/renderer_server.h"
#include "framework/descriptors.h"
#include "renderer/renderer.h"

namespace quillamar::renderer {

using Clock = std::chrono::steady_clock;

/// Milliseconds from now until when, 0 once it has passed.
int MillisecondsUntil(Clock::time_point when);

// The child's descriptors of the page channel and the password: fixed numbers above standard
// error, low enough for any shell script to name.
constexpr int kChildChannelFd = 3;
constexpr int kChildPasswordFd = 4;

/// A started child: waited for in the destructor (killed first if nobody waited), so no zombie
/// and no orphan is left whatever happens on the way.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signal_number) const;
  pid_t pid() const { return pid_; }
  /// Waits for the end and returns the wait status.
  int Reap();

 private:
  pid_t pid_;
};

/// What the renderer gets above its standard output; -1 for what it goes without.
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

/// An unlinked temporary file that collects the renderer's standard error; -1 when none can be
/// made.
int CreateErrorCapture();
/// The end of what the renderer wrote to standard error.
std::string ErrorTail(int fd);
/// The last non-empty line of the text.
std::string LastLine(std::string tail);
/// The complete warning lines in the text, without their prefix and line ending.
std::vector<std::string> WarningLines(const std::string& tail);
/// Our words for how a process ended, for a renderer that said nothing itself.
std::string DescribeEnd(int status);

/// An anonymous in-memory file holding the password, read from its start, numbered above the
/// child's places; invalid without a password or when it cannot be made (the renderer then
/// reports the PDF as locked).
FileDescriptor CreatePasswordFile(const std::optional<std::string>& password);
/// Our environment with the contract's variables set as the request says, or removed.
std::vector<std::string> ChildEnvironment(const RendererRequest& request, int password_fd);
/// The server's request for what an executed renderer would get, descriptors in Sent() order.
contract::ServerRequest ServerRequestFor(const std::vector<std::string>& arguments,
                                         const std::vector<std::string>& environment,
                                         const ChildDescriptors& descriptors);
/// Executes the renderer, offering it the server's socket when server_fd is one; -1 when it
/// cannot be started.
pid_t Execute(const std::string& path, std::vector<std::string> arguments,
              std::vector<std::string> environment, const ChildDescriptors& descriptors,
              int server_fd);

/// A descriptor that becomes readable when the process ends; -1 where the system has none.
int OpenProcessDescriptor(pid_t pid);
/// The child has ended (it is not reaped).
bool HasEnded(pid_t pid);
/// A process of ours to wait for: only such a one may be signalled or reaped on the word of a
/// message.
bool IsOurChild(pid_t pid);

}  // namespace quillamar::renderer
