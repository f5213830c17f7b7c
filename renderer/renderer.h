// Starting the page renderer ("lib.dll" beside our executable) for one PDF and waiting for it.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "contract/renderer_contract.h"

namespace quillamar::renderer {

using contract::kExitNeedsPassword;
using contract::kIntermediateEnv;
using contract::kRendererFileName;

/// The renderer's path beside an executable: its folder, "/" and "lib.dll" (so "//lib.dll" for a
/// program in the root folder, used as it is).
std::string RendererPathBeside(const std::string& executable);

/// The renderer's path beside the running executable.
std::string RendererPath();

/// The output pattern the renderer fills with page numbers: folder, "/", base name, "_%d.png".
std::string OutputPattern(const std::string& folder, const std::string& base_name);

/// The page file of page n: folder, "/", base name, "_", n in decimal, then extension (".png" or
/// ".jpg"). The folder text is used unchanged, a trailing "/" included.
std::string PageFilePath(const std::string& folder, const std::string& base_name, int page,
                         const char* extension);

/// The renderer's arguments, one piece each (the first is the program name "lib"):
/// lib -o PATTERN -F png -r RESOLUTION PDF.
std::vector<std::string> RendererArguments(const std::string& folder, const std::string& base_name,
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
  int WakeDescriptor() const noexcept { return pipe_[0]; }

 private:
  std::atomic<bool> requested_{false};
  int pipe_[2] = {-1, -1};
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

/// Starts the renderer by its explicit path (never a search path) with the arguments, standard
/// input from /dev/null and standard error into a temporary file, and waits for it without a
/// time limit. On a stop request the renderer gets SIGTERM, and SIGKILL two seconds later if it
/// is still there. The process is always waited for: no zombie, no orphan. A password is handed
/// over in an anonymous in-memory file that only the renderer inherits (never in its arguments);
/// a renderer that needs one and lacks it, or got a wrong one, exits with kExitNeedsPassword.
RenderOutcome RunRenderer(const std::string& path, const std::vector<std::string>& arguments,
                          bool intermediate_pages, StopSignal* stop,
                          const std::optional<std::string>& password = std::nullopt);

}  // namespace quillamar::renderer
