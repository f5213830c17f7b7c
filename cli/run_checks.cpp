// Unreadable PDFs, clashing names and the output folder, checked before the run begins.
#include "cli/run_checks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "batch/batch.h"
#include "cli/terminal.h"
#include "framework/descriptors.h"
#include "framework/paths.h"

namespace quillamar::cli {
namespace {

std::string Listed(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += "\n  " + item;
  return text;
}

// First page files of the run's PDFs that are already in the folder: the PNGs a run leaves, and
// the JPEGs too when it re-encodes.
std::vector<std::string> ExistingFirstPages(const CommandLine& line, const TStringList& pdfs,
                                            const std::string& folder) {
  std::vector<const char*> extensions{batch::PageExtensionFor(batch::kPngFormat)};
  if (line.format == batch::kJpgFormat) extensions.push_back(batch::PageExtensionFor(line.format));
  std::vector<std::string> existing;
  std::set<std::string> looked_at;  // a PDF named twice has one first page
  for (const auto& pdf : pdfs) {
    for (const char* extension : extensions) {
      std::string page = batch::PageFilePath(folder, batch::BaseNameOf(pdf), 1, extension);
      if (looked_at.insert(page).second && FileExists(page)) existing.push_back(std::move(page));
    }
  }
  return existing;
}

}  // namespace

std::vector<std::string> TakeUnreadable(std::vector<std::string>& pdfs) {
  std::vector<std::string> unreadable;
  std::erase_if(pdfs, [&unreadable](const std::string& pdf) {
    const FileDescriptor file(::open(pdf.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.Valid()) return false;
    PrintNote("cannot read '" + pdf + "': " + std::strerror(errno));
    unreadable.push_back(pdf);
    return true;
  });
  return unreadable;
}

bool AcceptClobbering(const CommandLine& line, const TStringList& pdfs, const std::string& folder) {
  const std::vector<std::string> clashes = batch::FindNameClashes(pdfs);
  if (!line.no_clobber) {
    if (!clashes.empty()) {
      PrintNote(
          "warning: several PDFs have these names; the later one's pages replace the "
          "earlier one's:" +
          Listed(clashes));
    }
    return true;
  }
  const std::vector<std::string> existing = ExistingFirstPages(line, pdfs, folder);
  if (!clashes.empty()) PrintNote("--no-clobber: several PDFs have these names:" + Listed(clashes));
  if (!existing.empty()) {
    PrintNote("--no-clobber: these page files exist already:" + Listed(existing));
  }
  return clashes.empty() && existing.empty();
}

Status PrepareOutputFolder(const std::string& folder) {
  if (FileExists(folder) && !FolderExists(folder)) {
    return Fail("the output folder '" + folder + "' is not a folder");
  }
  if (!ForceFolders(folder)) {
    return Fail("cannot create the output folder '" + folder + "': " + std::strerror(errno));
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return Fail("cannot write in the output folder '" + folder + "': " + std::strerror(errno));
  }
  return {};
}

}  // namespace quillamar::cli
