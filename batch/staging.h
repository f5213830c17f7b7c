// The staging folder: where renderers started ahead of their PDF's turn write, inside the output
// folder, so that moving a finished page into place is a rename.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/descriptors.h"

namespace quillamar::batch {

/// The hidden folder inside the output folder that holds the staging folders of runs.
inline constexpr char kStagingParentName[] = ".quillamar-ahead";

/// A folder of this run's own inside the output folder, locked for the run's life (so that no
/// other run takes it for abandoned) and removed with everything in it when it goes.
class StagingFolder {
 public:
  /// Creates it; null when it cannot be made.
  static std::unique_ptr<StagingFolder> Create(const std::string& output_folder);
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  /// A new, empty folder inside it for the PDF at index; empty when it cannot be made.
  std::string NewPdfFolder(int index) const;

 private:
  StagingFolder(std::string parent, std::string path, FileDescriptor lock);
  std::string parent_;
  std::string path_;
  FileDescriptor lock_;  // flock'ed while the run lives; a crash lets it go
};

/// Removes the staging folders that runs which no longer run left in the output folder.
void RemoveAbandonedStaging(const std::string& output_folder);

/// Removes the folder and everything in it; quietly does nothing when it cannot.
void RemoveFolderTree(const std::string& folder) noexcept;

/// The pages of base_name's page files with the extension (".png", ".jpg") in the folder, in
/// ascending order: the names base_name + "_" + page number in decimal + extension.
std::vector<int> PageFilesIn(const std::string& folder, const std::string& base_name,
                             const std::string& extension);

/// Renames a file onto another name in the same file system, replacing what is there. False with
/// errno set when that fails.
bool MoveFile(const std::string& from, const std::string& to);

}  // namespace quillamar::batch
