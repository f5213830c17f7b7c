// Path rules: names, folders and extensions of "/"-separated paths, and the file-system tests the
// run needs. Paths are UTF-8 byte strings; ":" is an ordinary character.
#pragma once

#include <string>

#include "framework/path_names.h"

namespace quillamar {

/// True when an entry of that name exists and is not a folder.
bool FileExists(const std::string& path);

/// True when the path names an existing folder.
bool FolderExists(const std::string& path);

/// Creates the folder and any missing parents. Raises EInOutError "Unable to create directory"
/// for an empty text; returns whether the folder now exists (by this rule's own steps).
bool ForceFolders(std::string folder);

/// The path made absolute against the current folder (no link resolution, "." and ".." folded).
std::string AbsolutePath(const std::string& path);

/// Deletes a file; returns false when it could not.
bool DeleteFile(const std::string& path);

}  // namespace quillamar
