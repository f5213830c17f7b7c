// Tests of the crash guard in a child process: a fatal signal or a stack overflow while a page is
// rendered gives the usual error line, exit status 1 and no temporary left behind.
#include "pagerender/crash_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/named_cases.h"
#include "support/pdf_pages.h"
#include "support/process.h"

namespace quillamar::pagerender {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names
using testing::ScratchFolder;

struct CrashCase {
  const char* name;
  int page;
  int signal_number;  ///< 0: overflow the stack instead
  const char* reason;
};

const CrashCase kCrashCases[] = {
    {"SegmentationFault", 3, SIGSEGV, "page 3: the renderer crashed (segmentation fault)"},
    {"BusError", 12, SIGBUS, "page 12: the renderer crashed (bus error)"},
    {"ArithmeticException", 1, SIGFPE, "page 1: the renderer crashed (arithmetic exception)"},
    {"Abort", 7, SIGABRT, "page 7: the renderer crashed (aborted)"},
    {"BeforeAnyPage", 0, SIGSEGV, "the renderer crashed (segmentation fault)"},
    {"StackOverflow", 2, 0, "page 2: the renderer crashed (segmentation fault)"},
};

// Recurses until the stack runs out (the limit is never reached); the volatile frame keeps the
// compiler from turning the recursion into a loop.
volatile int overflow_limit = 1 << 30;

int Overflow(int depth) {
  if (depth >= overflow_limit) return 0;
  volatile char frame[1024];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return Overflow(depth + 1) + frame[0];
}

[[noreturn]] void CrashInChild(const CrashCase& c, const ScratchFolder& folder) {
  const int err = ::open((folder.path() / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(err, STDERR_FILENO);
  TemporaryFiles temporaries;
  if (!temporaries.Create((folder.path() / "p_3.png").string())) ::_exit(101);
  InstallCrashGuard("/in/a b.pdf", temporaries);
  const CrashStack stack;
  NoteCurrentPage(c.page);
  if (c.signal_number == 0) ::_exit(Overflow(0));
  ::raise(c.signal_number);
  ::_exit(100);
}

class RendererCrashGuardTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(RendererCrashGuardTest, ReportsPageAndRemovesTemporaries) {
  const CrashCase& c = GetParam();
  const ScratchFolder folder;
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) CrashInChild(c, folder);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), testing::kRendererFailed);
  EXPECT_EQ(testing::ReadFileText(folder.path() / "err"),
            std::string("lib.dll: /in/a b.pdf: ") + c.reason + "\n");
  EXPECT_EQ(folder.Entries(), std::vector<std::string>{"err"});
}

QUILLAMAR_TABLE_TESTS(Renderer, RendererCrashGuardTest, kCrashCases);

}  // namespace
}  // namespace quillamar::pagerender
