// The page renderer's door: its options, its page file names and one call that renders a PDF.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contract/renderer_contract.h"
#include "framework/result.h"

namespace quillamar::pagerender {

/// Program name used at the start of every message line.
inline constexpr const char* kProgramName = contract::kRendererFileName;
using contract::kIntermediateEnv;
/// Highest resolution accepted, in dots per inch.
inline constexpr double kMaxResolution = contract::kMaxResolution;
/// Most page files written at the same time, hence most workers.
inline constexpr int kMaxOpenTemporaries = 64;
/// Largest raster rendered for one page, in pixels.
inline constexpr long long kMaxPagePixels = 300'000'000;

/// Exit statuses of the program.
using contract::kExitFailure;
using contract::kExitNeedsPassword;
using contract::kExitSuccess;
using contract::kExitUsage;

/// What the command line asks for: lib -o PATTERN -F png -r RESOLUTION PDF.
struct Options {
  std::string pattern;  ///< output file pattern; its last "%d" becomes the page number
  double resolution = 0;
  std::string pdf;
};

/// Parses the arguments (the first is the program name and is ignored). Options may come in any
/// order around the one PDF path. Missing or repeated options, an image type other than png, a
/// resolution that is not a plain positive decimal number or above kMaxResolution, and a pattern
/// without "%d" give the reason they are unusable (one line, without program name) instead.
Result<Options> ParseArguments(const std::vector<std::string>& arguments);

/// The page file of page (from 1): the pattern with its last "%d" replaced by the number in
/// decimal; any other "%" stays as it is.
std::string PageFileName(const std::string& pattern, int page);

/// How the PNG files are compressed.
enum class PngMode {
  kBalanced,      ///< small files at little cost, chosen per page from its content
  kIntermediate,  ///< cheapest valid PNG (stored deflate blocks, no filtering)
};

/// Temporary page files still being written (at most kMaxOpenTemporaries at a time). Abandon()
/// removes them all and keeps every later temporary from being created or renamed, so a stopping
/// process leaves no partial page behind.
class TemporaryFiles {
 public:
  TemporaryFiles();
  ~TemporaryFiles();
  TemporaryFiles(const TemporaryFiles&) = delete;
  TemporaryFiles& operator=(const TemporaryFiles&) = delete;

  /// A temporary just created: its open descriptor, which the caller closes, and its path.
  struct Created {
    int fd = -1;
    std::string path;
    unsigned number = 0;  ///< in its name (contract::TemporaryPageName)
    bool reused = false;  ///< a spare: it may be longer than what is written now
  };
  /// Creates a new empty temporary file beside final_path; fails with the system's text for the
  /// error (that of ECANCELED once abandoned, of EMFILE with kMaxOpenTemporaries open).
  Result<Created> Create(const std::string& final_path);
  /// Takes the spare file over as a temporary beside final_path, unless it is gone or is not a
  /// regular file with a single name (then it is left as it was); it keeps its bytes until written
  /// over.
  Result<Created> Reuse(const std::string& spare_path, const std::string& final_path);
  /// Renames the temporary to its final name; fails with the system's text for the error when
  /// that fails or when the files were abandoned (the temporary is removed either way).
  Status Commit(const std::string& temporary_path, const std::string& final_path);
  /// Removes the temporary without committing it.
  void Discard(const std::string& temporary_path);
  /// Removes every open temporary; nothing is committed afterwards. Callable from any thread.
  void Abandon();
  /// Removes the open temporaries without locking: async-signal-safe, for a process about to die.
  void RemoveOpenNow() const noexcept;

 private:
  template <typename MakeFile>
  Result<Created> Make(const std::string& final_path, MakeFile make);

  struct State;
  std::unique_ptr<State> state_;
};

/// The library that paints the pages. MuPDF hands a PDF it cannot open, a page it fails to
/// render and a page with CMYK images to poppler, in the same run.
enum class Engine { kPoppler, kMupdf };
/// The engine when none is asked for.
inline constexpr Engine kDefaultEngine = Engine::kMupdf;
/// The engine a contract::kEngineEnv value names; kDefaultEngine for null or "", nullopt for an
/// unknown name.
std::optional<Engine> EngineNamed(const char* name);

class PageChannel;

/// One rendering job.
struct RenderRequest {
  Options options;
  int workers = 1;  ///< worker threads (each with its own document); at least 1
  /// How many of them render from the start (0: all); the run grants the others on the channel.
  int workers_now = 0;
  PngMode mode = PngMode::kBalanced;
  TemporaryFiles* temporaries = nullptr;    ///< required
  const std::atomic<bool>* stop = nullptr;  ///< optional: no new page starts once it is true
  std::optional<std::string> password;      ///< opens a locked PDF
  PageChannel* channel = nullptr;           ///< optional: pages are announced and paced on it
  /// Most bytes of page bitmaps held at once (pages start later when it is reached; one page
  /// always may); 0 for no bound.
  long long memory_budget = 0;
  Engine engine = kDefaultEngine;
};

/// How the job went: exit status and, when it is not 0, the one line to print on standard error;
/// apart from that, the warning about text that could not be drawn, which does not fail the job.
struct RenderOutcome {
  int exit_status = kExitSuccess;
  std::string error_line;
  int pages_written = 0;
  std::string warning_line;  ///< without contract::kWarningPrefix; empty when all text was drawn
};

/// Points the program's error output at fd (standard error until then). main gives it a copy of
/// standard error and silences the real one, so that warnings the libraries print on their own
/// never reach the run.
void SetErrorOutput(int fd) noexcept;
/// Writes text in full to the error output; async-signal-safe.
void WriteError(const char* text) noexcept;

/// The password handed over through the descriptor that contract::kPasswordFdEnv names: its
/// bytes up to the end (at most kMaxPasswordBytes), the descriptor closed afterwards. nullopt
/// when the variable is absent or does not name a readable descriptor.
std::optional<std::string> TakePassword();
/// Longest password read; PDF passwords are far shorter.
inline constexpr std::size_t kMaxPasswordBytes = 4096;

/// Prepares the rendering library once (silences its diagnostics). Call before any thread starts;
/// RenderPdf calls it too. Returns false when the library cannot render at all.
bool PrepareRendering();

/// Renders every page of the PDF into its page file. Pages written stay even when others fail;
/// no page file appears under its final name before it is complete.
RenderOutcome RenderPdf(const RenderRequest& request);

/// When the run offers a server (contract::kServerEnv), starts it beside this process, as the
/// run's child, and returns main's arguments. The server prepares the rendering library and forks
/// a renderer per request of the run; in each, this returns that request's arguments, with its
/// descriptors and environment in place (and shown as its command line, as far as they fit).
/// Returns main's arguments without an offer. Call first in main, while there is a single thread.
std::vector<std::string> ServeIfOffered(int argc, char** argv);

/// One worker per core this process may run on (its CPU affinity, which containers narrow), or
/// as many as the run asks for through contract::kWorkersEnv.
int WorkerCount();

/// The whole program: parses the arguments, reads kIntermediateEnv, the password, the page channel,
/// the engine (an unknown one is a usage error) and the worker count from the environment, reports
/// a crash as an error line from then on, renders with one worker per core (or as many as the run
/// allows) within the renderer's share of the memory budget and returns the exit status
/// (kExitNeedsPassword for a locked PDF that no password or a wrong one was given for); the error
/// line (if any) goes to the error output, after the warning line (if any).
int RunProgram(const std::vector<std::string>& arguments, TemporaryFiles& temporaries,
               const std::atomic<bool>* stop);

}  // namespace quillamar::pagerender
