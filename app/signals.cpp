// Ending the program by a signal the orderly way: every window is closed, a run is stopped first.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>

#include "app/MainUnit.h"

namespace quillamar::app {
namespace {

// Written by the handler, read on the UI thread: the only thing a handler may safely do here.
int g_wake_pipe[2] = {-1, -1};

extern "C" void OnTerminatingSignal(int) {
  const int saved_errno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(g_wake_pipe[1], &byte, 1);
  errno = saved_errno;
}

void DrainWakePipe() {
  char bytes[64];
  while (::read(g_wake_pipe[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

void CloseWindowsOnSignals() {
  if (g_wake_pipe[0] >= 0 || ::pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_wake_pipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
    DrainWakePipe();
    QApplication::closeAllWindows();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminatingSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace quillamar::app
