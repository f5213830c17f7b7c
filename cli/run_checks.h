// The checks before a run starts: PDFs that cannot be read, names that clash, the output folder.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"
#include "framework/result.h"
#include "framework/string_list.h"

namespace quillamar::cli {

/// Takes out of pdfs each one that cannot be opened for reading, with a note for each; returns
/// them in their order.
std::vector<std::string> TakeUnreadable(std::vector<std::string>& pdfs);

/// Names shared by several PDFs: a warning, or under --no-clobber (with page files already in the
/// folder) a refusal, each noted. False when the run must not start.
bool AcceptClobbering(const CommandLine& line, const TStringList& pdfs, const std::string& folder);

/// Makes the output folder when it is missing; fails when it cannot take the pages.
Status PrepareOutputFolder(const std::string& folder);

}  // namespace quillamar::cli
