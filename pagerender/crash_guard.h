// Last words of a renderer brought down inside the PDF library: one error line naming the file
// and page, the temporaries removed, and exit status 1 rather than death by a signal.
#pragma once

#include <memory>
#include <string>

#include "pagerender/pagerender.h"

namespace quillamar::pagerender {

/// Catches SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT for the rest of the process: removes the
/// open temporaries, writes "lib.dll: PDF: page N: the renderer crashed (REASON)" to standard error
/// and exits with kExitFailure. Call before the workers start; temporaries must outlive them.
void InstallCrashGuard(const std::string& pdf, const TemporaryFiles& temporaries);

/// Puts the default handlers back and forgets the temporaries: for the end of the process, once
/// the temporaries go (a sanitizer's leak report may still abort the process after them).
void RemoveCrashGuard() noexcept;

/// Notes the page (from 1; 0 for none) the calling thread works on, for the crash message.
void NoteCurrentPage(int page) noexcept;

/// An alternate signal stack for the calling thread while this object lives, so that a stack
/// overflow is reported like any other crash.
class CrashStack {
 public:
  CrashStack();
  ~CrashStack();
  CrashStack(const CrashStack&) = delete;
  CrashStack& operator=(const CrashStack&) = delete;

 private:
  std::unique_ptr<char[]> memory_;
  bool installed_ = false;
};

}  // namespace quillamar::pagerender
