// The PDFs a command line names: its files, the PDFs inside its folders, and its lists.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

namespace quillamar::cli {

/// The PDFs to convert, or why they could not all be found.
struct GatheredPdfs {
  std::vector<std::string> pdfs;  ///< paths as given or as found, in order
  std::string error;              ///< one line when a folder or a list could not be read
};

/// The FILE arguments in their order, then the entries of each list. A folder stands for the PDFs
/// directly inside it (names ending in ".pdf" in any case), sorted by name byte for byte; with
/// recursive, each subfolder's PDFs follow in the same way, subfolders in name order, links to
/// folders not followed. Anything else is taken as a PDF as it is, existing or not. Empty list
/// entries are ignored.
GatheredPdfs GatherPdfs(const CommandLine& line);

}  // namespace quillamar::cli
