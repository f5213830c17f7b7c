// Puts a file's bytes in place as a whole: a temporary file beside it, renamed over it when
// complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillamar {

class TStream;

namespace jpeg {

/// Wraps the stream that carries the bytes into the temporary file. The default (empty) writes
/// to the file directly; tests put a failing stream in between.
using StreamWrapper = std::function<std::unique_ptr<TStream>(TStream& file)>;

/// Writes size bytes as the file at path; an existing file keeps its permissions, and a link
/// keeps pointing at the file it named, which is replaced. While the target is being replaced it is
/// held exclusively, as our file streams hold a file they create. Raises EFCreateError ("Cannot
/// create file "%s". %s" with the target's absolute path) when the target is held by another
/// stream, is a folder, or no file can be created beside it, and with the system's reason when the
/// file takes fewer bytes than offered (a full disk, say) or cannot be closed; EWriteError when a
/// wrapping stream takes fewer bytes. On any failure the temporary file is removed and an older
/// file of that name is left exactly as it was.
void ReplaceFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                 const StreamWrapper& wrap = {});

}  // namespace jpeg
}  // namespace quillamar
