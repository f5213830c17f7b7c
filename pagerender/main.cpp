// The page renderer program: lib -o PATTERN -F png -r DPI FILE.pdf writes one PNG per page.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "framework/descriptors.h"
#include "pagerender/confinement.h"
#include "pagerender/crash_guard.h"
#include "pagerender/pagerender.h"

namespace {

using quillamar::pagerender::TemporaryFiles;

// What the signal thread shares with main.
struct SignalWatch {
  sigset_t signals;
  TemporaryFiles* temporaries = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};  ///< main is done: the next SIGUSR1 ends the watch
};

// Removes the pages being written and ends the process at once (pages in progress are abandoned).
[[noreturn]] void StopNow(SignalWatch& watch, int signal_number) {
  watch.stop.store(true);
  watch.temporaries->Abandon();
  const std::string line = std::string(quillamar::pagerender::kProgramName) + ": stopped by " +
                           (signal_number == SIGINT ? "SIGINT" : "SIGTERM") + "\n";
  quillamar::pagerender::WriteError(line.c_str());
  ::_exit(quillamar::pagerender::kExitFailure);
}

// Waits on its own thread for SIGTERM or SIGINT, and for main's SIGUSR1 once it is finished.
void WatchSignals(SignalWatch* watch) {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&watch->signals, &signal_number) != 0) continue;
    if (signal_number != SIGUSR1) StopNow(*watch, signal_number);
    if (watch->finished.load()) return;
  }
}

// Libraries below us (the JPEG decoder inside the PDF library, for one) print some warnings
// straight to standard error. Our line goes to a copy of it; the real one is silenced. Sanitizer
// builds keep it, as their reports must stay visible.
void SilenceLibraryOutput() {
  const int copy = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return;
  quillamar::pagerender::SetErrorOutput(copy);
#if !defined(__SANITIZE_ADDRESS__)
  const quillamar::FileDescriptor null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (null.Valid()) ::dup2(null.Get(), STDERR_FILENO);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // First of all, while there is one thread: a renderer forked by the server comes back from here
  // with its own arguments, as if it had been started with them.
  const std::vector<std::string> arguments = quillamar::pagerender::ServeIfOffered(argc, argv);
  // Set up before any thread starts: the output, the library's diagnostics hook, and the signal
  // mask that every later thread inherits.
  SilenceLibraryOutput();
  quillamar::pagerender::PrepareRendering();
  TemporaryFiles temporaries;
  SignalWatch watch;
  watch.temporaries = &temporaries;
  sigemptyset(&watch.signals);
  sigaddset(&watch.signals, SIGTERM);
  sigaddset(&watch.signals, SIGINT);
  sigaddset(&watch.signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &watch.signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  // Before the first thread starts, so that every thread is confined.
  quillamar::pagerender::ConfineForArguments(arguments);

  std::thread watcher(WatchSignals, &watch);
  int status = quillamar::pagerender::kExitFailure;
  try {
    status = quillamar::pagerender::RunProgram(arguments, temporaries, &watch.stop);
  } catch (const std::exception& error) {
    quillamar::pagerender::WriteError(
        (std::string(quillamar::pagerender::kProgramName) + ": " + error.what() + "\n").c_str());
  }
  watch.finished.store(true);
  pthread_kill(watcher.native_handle(), SIGUSR1);
  watcher.join();
#if !defined(QUILLAMAR_SANITIZER_BUILD)
  // Everything is written and nothing is buffered: the libraries' teardown would only free memory
  // that the process's end frees anyway. Sanitizer builds end normally, for their leak report.
  temporaries.Abandon();
  ::_exit(status);
#endif
  quillamar::pagerender::RemoveCrashGuard();  // the temporaries go with this frame
  return status;
}
