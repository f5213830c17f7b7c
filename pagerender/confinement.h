// The renderer's confinement: what a process that parses untrusted PDFs may still do.
#pragma once

#include <string>
#include <vector>

#include "pagerender/pagerender.h"

namespace quillamar::pagerender {

/// Poppler's compiled-in data folder (character maps for CJK text).
inline constexpr char kPopplerDataFolder[] = "/usr/share/poppler";
/// Address space allowed per worker, in bytes per pixel of the largest page: its four-byte raster
/// plus as much again for a transparency group or a soft mask and for a decoded image.
inline constexpr long long kAddressSpacePerPagePixel = 12;
/// Open files allowed per worker beyond those open at start: its PDF, its page file and one
/// descriptor per system font its document uses.
inline constexpr long long kOpenFilesPerWorker = 64;

/// What the confinement achieved. Each part missing has a note saying why.
struct Confinement {
  int landlock_abi = 0;       ///< 0: the file system and network are not confined
  bool system_calls = false;  ///< the filter of system calls is installed
  bool limits = false;        ///< address space and open files are bounded
  std::vector<std::string> notes;
};

/// Confines this process (and every thread it starts later) for rendering options.pdf into the
/// folder of options.pattern with the given number of workers:
/// - files: reads only the PDF, the running program's folder, the shared libraries' folders,
///   fontconfig's configuration, fonts and caches, kPopplerDataFolder, the local time zone and
///   /dev/null (which it may also write); creates, writes, renames and removes files only in the
///   output folder; executes nothing; no TCP and no signal or abstract UNIX socket outside the
///   process (as far as the highest Landlock ABI the kernel has allows);
/// - system calls: sockets, running programs, tracing, mounting, BPF, keys, performance counters,
///   namespaces and changes of identity fail with EPERM;
/// - limits: address space and open files bounded from kMaxPagePixels and the worker count.
/// Irreversible; call before any thread starts. Sanitizer builds (QUILLAMAR_SANITIZER_BUILD) keep
/// tracing and an unlimited address space, which their runtime needs.
Confinement ConfineProcess(const Options& options, int workers);

/// lib.dll's hook: unless the environment variable contract::kUnconfinedEnv is "1", confines the
/// process for the arguments (nothing when they are unusable; the run reports them). With
/// contract::kVerboseEnv "1", writes one line on the error output when a part is missing.
void ConfineForArguments(const std::vector<std::string>& arguments);

}  // namespace quillamar::pagerender
