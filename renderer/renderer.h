// Starting the page renderer ("lib.dll" beside our executable) for one PDF, following it and
// waiting for it: its path and arguments, the stop signal, the prepared renderer it may be forked
// from, and the running process with its page channel.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contract/renderer_contract.h"
#include "contract/renderer_server.h"
#include "framework/descriptors.h"

namespace quillamar::renderer {

using contract::kExitNeedsPassword;
using contract::kIntermediateEnv;
using contract::kRendererFileName;

/// The renderer's path beside an executable: its folder, "/" and "lib.dll" (so "//lib.dll" for a
/// program in the root folder, used as it is).
std::string RendererPathBeside(const std::string& executable);

/// The renderer's path beside the running executable.
std::string RendererPath();

/// The renderer's arguments, one piece each (the first is the program name "lib"):
/// lib -o PATTERN -F png -r RESOLUTION PDF, the pattern holding "%d" where the page number goes.
std::vector<std::string> RendererArguments(const std::string& pattern,
                                           const std::string& resolution, const std::string& pdf);

/// Asks a running renderer to stop and tells the run to end. Request() may be called from any
/// thread and from a signal handler; a stop stays requested until Reset().
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  /// Async-signal-safe: sets the flag and wakes a waiting renderer owner.
  void Request() noexcept;
  bool Requested() const noexcept { return requested_.load(); }
  /// Clears the request before a new run.
  void Reset() noexcept;
  /// A descriptor that becomes readable once a stop is requested (for poll).
  int WakeDescriptor() const noexcept { return wake_read_.Get(); }

 private:
  std::atomic<bool> requested_{false};
  FileDescriptor wake_read_;
  FileDescriptor wake_write_;
};

/// The run's prepared renderer: later renderers of a run are forked from it instead of being
/// executed, which saves each the program's start (loading its libraries, preparing the PDF
/// library). The first renderer started with it is executed as always and offered the server
/// (contract::kServerEnv); a renderer that knows the offer starts the server beside itself, as our
/// child, and the server says hello. From then on each start asks the server, whose renderers are
/// our children too, with the arguments, environment and descriptors an executed one would get.
/// A renderer that ignores the offer, and any trouble with the server, leave every start to
/// execution. Destroying it ends the server; the renderers it forked are not affected.
class RendererServer {
 public:
  RendererServer();
  ~RendererServer();
  RendererServer(const RendererServer&) = delete;
  RendererServer& operator=(const RendererServer&) = delete;

  /// The server's process ID once it has said hello; -1 before and after it went.
  pid_t ServerId() const;

 private:
  friend class RendererProcess;
  /// The socket end to offer to the renderer about to be executed, once per server; -1 after.
  int TakeOffer();
  /// The renderer was executed (or not): the offered end is ours no more.
  void OfferMade();
  /// A renderer forked by the server with fds placed at the request's targets: its process ID,
  /// or -1 when the server is not ready or cannot start it.
  pid_t Fork(const contract::ServerRequest& request, const std::vector<int>& fds);

  struct State;
  std::unique_ptr<State> state_;
};

/// How one renderer process went.
struct RenderOutcome {
  enum class Kind {
    kNotStarted,  ///< the executable could not be started
    kSucceeded,   ///< exit status 0
    kFailed,      ///< a non-zero exit status or ended by a signal
    kStopped,     ///< ended because a stop was requested
  };
  Kind kind = Kind::kNotStarted;
  int exit_status = 0;     ///< when it exited
  int signal_number = 0;   ///< when a signal ended it
  std::string error_line;  ///< the last non-empty line it wrote to standard error, or ours
  /// Its warning lines (contract::kWarningPrefix removed), whatever the kind: text it could not
  /// draw in pages it did write.
  std::vector<std::string> warnings;
};

/// How to start the renderer for one PDF.
struct RendererRequest {
  std::string path;                    ///< explicit, never looked up on a search path
  std::vector<std::string> arguments;  ///< the first is the program name
  bool intermediate_pages = false;     ///< sets kIntermediateEnv
  StopSignal* stop = nullptr;          ///< may be null
  bool page_channel = false;           ///< open the page channel (kPageChannelEnv)
  int workers = 0;                     ///< > 0: sets kWorkersEnv
  /// > 0 and below workers, with the channel: how many render until GrantWorkers (kWorkersNowEnv)
  int workers_now = 0;
  int page_window = 0;          ///< > 0: paces the renderer (kPageWindowEnv)
  long long memory_budget = 0;  ///< > 0: its page bitmaps' bytes (kMemoryBudgetEnv)
  std::string engine;           ///< not empty: the engine that paints the pages (kEngineEnv)
  /// Opens a locked PDF. Handed over in an anonymous in-memory file that only the renderer
  /// inherits (kPasswordFdEnv), never in its arguments; a renderer that needs one and lacks it,
  /// or got a wrong one, exits with kExitNeedsPassword.
  std::optional<std::string> password;
  /// Where the renderer is forked from when it is ready; null: always executed.
  RendererServer* server = nullptr;
};

/// What the renderer said on its channel, or why nothing more will come.
struct PageEvent {
  enum class Kind {
    kPageCount,   ///< number: the PDF's page count
    kPageDone,    ///< number: that page's file is complete under its final name
    kPageFailed,  ///< number: that page will have no file
    /// number: that page's file is being written, as GrowingFileName(file) beside its final name;
    /// kPageDone or kPageFailed follows
    kPageGrowing,
    kEnded,          ///< no more announcements (the channel closed or the renderer ended)
    kStopRequested,  ///< the stop signal was raised; Finish() stops the renderer
    kQuiet,          ///< nothing came within the time asked for
    kElsewhere,      ///< one of the other descriptors to wake on became readable
  };
  Kind kind = Kind::kEnded;
  int number = 0;
  unsigned file = 0;
};

/// A running renderer. Destroying it before Finish() kills and reaps the process.
class RendererProcess {
 public:
  /// Starts the renderer with standard input from /dev/null and standard error into a temporary
  /// file; null when it cannot be started.
  static std::unique_ptr<RendererProcess> Start(const RendererRequest& request);
  ~RendererProcess();
  RendererProcess(const RendererProcess&) = delete;
  RendererProcess& operator=(const RendererProcess&) = delete;

  /// Waits for the next announcement. Without a channel, or from a renderer that announces
  /// nothing, the first event is kEnded once the renderer has ended.
  /// With timeout_ms >= 0, kQuiet once that long has passed without an event (0: what has come
  /// already). kElsewhere as soon as one of also_wake is readable, so that one thread can follow
  /// several renderers.
  PageEvent NextEvent(int timeout_ms = -1, const std::vector<int>& also_wake = {});
  /// The descriptors that become readable when the renderer has something to say or ends; for
  /// another renderer's NextEvent to wake on.
  void AddWakeDescriptors(std::vector<int>& descriptors) const;
  /// Tells the renderer that the run is done with the page's file.
  void Consumed(int page);
  /// Tells the renderer that the consumed page's file is left for it to write over.
  void OfferSpare(int page);
  /// Lets a renderer started with RendererRequest::workers_now use this many workers from now on.
  void GrantWorkers(int workers);
  /// The name of the temporary file that a kPageGrowing event names.
  std::string GrowingFileName(unsigned file) const;
  /// The pacing window it was started with (RendererRequest::page_window); 0 when unpaced.
  int PageWindow() const;
  /// Asks the renderer to stop (SIGTERM, as a stop request would); Finish() then reports kStopped.
  void Stop();
  /// Waits without a time limit for the renderer to end. On a stop request (or after Stop()) it
  /// gets SIGTERM, and SIGKILL two seconds later if it is still there. Always reaps it.
  RenderOutcome Finish();

 private:
  struct State;
  explicit RendererProcess(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

/// Starts the renderer and waits for it to end, ignoring its announcements.
RenderOutcome RunRenderer(const RendererRequest& request);

}  // namespace quillamar::renderer
