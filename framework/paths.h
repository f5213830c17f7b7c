// Path rules: names, folders and extensions of "/"-separated paths, and the file-system tests the
// run needs. Paths are UTF-8 byte strings; ":" is an ordinary character.
#pragma once

#include <string>

namespace quillamar {

/// The part after the last "/"; the whole path when it has none.
std::string FileNameOf(const std::string& path);

/// The part before the last "/", or up to and including it when that "/" is the first byte or
/// follows another "/" (so "/a.pdf" gives "/" and "//a" gives "//"); empty without a "/".
std::string FolderOf(const std::string& path);

/// The text cut just before its last ".", provided no "/" follows that dot; else unchanged.
std::string WithoutExtension(const std::string& name);

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

/// The full path of the running executable.
std::string RunningExecutablePath();

}  // namespace quillamar
