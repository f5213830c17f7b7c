// The renderer's temporary page files: a page appears under its name complete or not at all.
#pragma once

#include <memory>
#include <string>

#include "framework/result.h"

namespace quillamar::pagerender {

/// Most page files written at the same time, hence most workers.
inline constexpr int kMaxOpenTemporaries = 64;

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

}  // namespace quillamar::pagerender
