// What a command line names to read: its files, the PDFs inside its folders, its lists, and the
// password file.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

namespace quillamar::cli {

/// The FILE arguments in their order, then the entries of each list. A folder stands for the PDFs
/// directly inside it (names ending in ".pdf" in any case), sorted by name byte for byte; with
/// recursive, each subfolder's PDFs follow in the same way, subfolders in name order, links to
/// folders not followed. Anything else is taken as a PDF as it is, existing or not. Empty list
/// entries are ignored. Paths come as given or as found; fails when a folder or a list cannot be
/// read.
Result<std::vector<std::string>> GatherPdfs(const CommandLine& line);

/// The first line of the password file ("-": standard input) without its line end, "\r"
/// included; fails when the file cannot be opened.
Result<std::string> ReadPasswordFile(const std::string& path);

}  // namespace quillamar::cli
