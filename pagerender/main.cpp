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

#include "pagerender/pagerender.h"

namespace {

using quillamar::pagerender::TemporaryFiles;

// Waits for SIGTERM or SIGINT on its own thread; on one, removes the pages being written and
// ends the process at once (pages in progress are abandoned). SIGUSR1 just ends the wait.
void WatchSignals(const sigset_t* signals, TemporaryFiles* temporaries, std::atomic<bool>* stop) {
  int signal_number = 0;
  while (sigwait(signals, &signal_number) != 0) {
  }
  if (signal_number == SIGUSR1) return;
  stop->store(true);
  temporaries->Abandon();
  const std::string line = std::string(quillamar::pagerender::kProgramName) + ": stopped by " +
                           (signal_number == SIGINT ? "SIGINT" : "SIGTERM") + "\n";
  quillamar::pagerender::WriteError(line.c_str());
  ::_exit(quillamar::pagerender::kExitFailure);
}

// Libraries below us (the JPEG decoder inside the PDF library, for one) print some warnings
// straight to standard error. Our line goes to a copy of it; the real one is silenced. Sanitizer
// builds keep it, as their reports must stay visible.
void SilenceLibraryOutput() {
  const int copy = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return;
  quillamar::pagerender::SetErrorOutput(copy);
#if !defined(__SANITIZE_ADDRESS__)
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  ::dup2(null, STDERR_FILENO);
  ::close(null);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // Set up before any thread starts: the library's diagnostics hook, and the signal mask that
  // every later thread inherits.
  SilenceLibraryOutput();
  quillamar::pagerender::PrepareRendering();
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  TemporaryFiles temporaries;
  std::atomic<bool> stop{false};
  std::thread watcher(WatchSignals, &signals, &temporaries, &stop);
  int status = quillamar::pagerender::kExitFailure;
  try {
    status = quillamar::pagerender::RunProgram(std::vector<std::string>(argv, argv + argc),
                                               temporaries, &stop);
  } catch (const std::exception& error) {
    quillamar::pagerender::WriteError(
        (std::string(quillamar::pagerender::kProgramName) + ": " + error.what() + "\n").c_str());
  }
  pthread_kill(watcher.native_handle(), SIGUSR1);
  watcher.join();
  return status;
}
