// The page renderer program: lib -o PATTERN -F png -r DPI FILE.pdf writes one PNG per page.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <iostream>
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
  [[maybe_unused]] const ssize_t put = ::write(STDERR_FILENO, line.data(), line.size());
  ::_exit(quillamar::pagerender::kExitFailure);
}

}  // namespace

int main(int argc, char** argv) {
  // Set up before any thread starts: the library's diagnostics hook, and the signal mask that
  // every later thread inherits.
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
    std::cerr << quillamar::pagerender::kProgramName << ": " << error.what() << '\n';
  }
  pthread_kill(watcher.native_handle(), SIGUSR1);
  watcher.join();
  return status;
}
