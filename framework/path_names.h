// The parts of "/"-separated paths, and where the running program lies. Header-only, so that the
// renderer shares them without linking framework. Paths are UTF-8 byte strings; ":" is an
// ordinary character.
#pragma once

#include <unistd.h>

#include <string>

namespace quillamar {

/// The part after the last "/"; the whole path when it has none.
inline std::string FileNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// The part before the last "/", or up to and including it when that "/" is the first byte or
/// follows another "/" (so "/a.pdf" gives "/" and "//a" gives "//"); empty without a "/".
inline std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  // A root separator stays, as a drive root keeps its backslash.
  if (slash == 0 || path[slash - 1] == '/') return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

/// The text cut just before its last ".", provided no "/" follows that dot; else unchanged.
inline std::string WithoutExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return name;
  if (name.find('/', dot) != std::string::npos) return name;
  return name.substr(0, dot);
}

/// The full path of the running executable; empty when the system does not say.
inline std::string RunningExecutablePath() {
  std::string buffer(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
  buffer.resize(static_cast<std::size_t>(length));
  return buffer;
}

}  // namespace quillamar
