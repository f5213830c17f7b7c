// Turns a fatal signal during rendering into the renderer's usual error line and exit status.
#include "pagerender/crash_guard.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace quillamar::pagerender {
namespace {

constexpr std::size_t kStackSize = 64 * 1024;
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

thread_local int current_page = 0;
// Set once before the workers start, then only read (by the handler).
const std::string* crash_prefix = nullptr;
const TemporaryFiles* crash_temporaries = nullptr;

const char* Reason(int signal_number) {
  switch (signal_number) {
    case SIGSEGV:
      return "segmentation fault";
    case SIGBUS:
      return "bus error";
    case SIGFPE:
      return "arithmetic exception";
    case SIGILL:
      return "illegal instruction";
    default:
      return "aborted";
  }
}

void PutNumber(int value) {
  char digits[16];
  char* at = digits + sizeof digits;
  *--at = '\0';
  do {
    *--at = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && at > digits);
  WriteError(at);
}

extern "C" void OnFatalSignal(int signal_number) {
  if (crash_temporaries != nullptr) crash_temporaries->RemoveOpenNow();
  if (crash_prefix != nullptr) WriteError(crash_prefix->c_str());
  if (current_page > 0) {
    WriteError("page ");
    PutNumber(current_page);
    WriteError(": ");
  }
  WriteError("the renderer crashed (");
  WriteError(Reason(signal_number));
  WriteError(")\n");
  ::_exit(kExitFailure);
}

}  // namespace

void InstallCrashGuard(const std::string& pdf, const TemporaryFiles& temporaries) {
  static std::string prefix;
  prefix = std::string(kProgramName) + ": " + pdf + ": ";
  crash_prefix = &prefix;
  crash_temporaries = &temporaries;
  struct sigaction action {};
  action.sa_handler = OnFatalSignal;
  sigemptyset(&action.sa_mask);
  // A crash inside the handler itself ends the process the ordinary way.
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  for (const int signal_number : kFatalSignals) ::sigaction(signal_number, &action, nullptr);
}

void RemoveCrashGuard() noexcept {
  for (const int signal_number : kFatalSignals) ::signal(signal_number, SIG_DFL);
  crash_temporaries = nullptr;
  crash_prefix = nullptr;
}

void NoteCurrentPage(int page) noexcept { current_page = page; }

CrashStack::CrashStack() : memory_(std::make_unique_for_overwrite<char[]>(kStackSize)) {
  stack_t stack{};
  stack.ss_sp = memory_.get();
  stack.ss_size = kStackSize;
  installed_ = ::sigaltstack(&stack, nullptr) == 0;
}

CrashStack::~CrashStack() {
  if (!installed_) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  ::sigaltstack(&off, nullptr);
}

}  // namespace quillamar::pagerender
