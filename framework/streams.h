// Byte streams: the abstract stream, files on disk and growable memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/descriptors.h"

namespace quillamar {

enum class SeekOrigin { kBeginning, kCurrent, kEnd };

/// A sequence of bytes with a position. Read and Write move up to the given count and return
/// how many bytes they moved; ReadBuffer and WriteBuffer insist on the whole count.
class TStream {
 public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  /// Reads up to count bytes; returns the number read (0 at the end).
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  /// Writes up to count bytes; returns the number written.
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  /// Moves the position; returns the new position from the beginning.
  virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;

  std::int64_t Position() { return Seek(0, SeekOrigin::kCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::kBeginning); }
  virtual std::int64_t Size();

  /// Reads exactly count bytes or raises EReadError.
  void ReadBuffer(void* buffer, std::int64_t count);
  /// Writes exactly count bytes or raises EWriteError.
  void WriteBuffer(const void* buffer, std::int64_t count);
};

/// How a file stream opens its file.
enum class FileMode {
  kOpenReadDenyWrite,  ///< reading; other readers allowed, writers refused while open
  kCreate,             ///< created, or emptied when it exists; held for this writer alone
};

class EFCreateError;
class EFOpenError;

/// "Cannot create file "%s". %s" with the path made absolute and the system's text for
/// error_number.
EFCreateError CannotCreateFileError(const std::string& path, int error_number);
/// "Cannot open file "%s". %s", the same way.
EFOpenError CannotOpenFileError(const std::string& path, int error_number);

/// A file on disk. Opening raises EFOpenError ("Cannot open file "%s". %s") and creating raises
/// EFCreateError ("Cannot create file "%s". %s"), with the absolute path and the system's error
/// text. Sharing is advisory (flock): a file held for writing by one of our streams cannot be
/// opened for reading by another, and the other way round. Opening never waits (a named pipe
/// without a writer opens at once and reads as empty), and a file that cannot seek raises
/// EReadError when read (EWriteError when created) on the first Seek.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& path, FileMode mode);
  ~TFileStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  /// Forces the written bytes to the disk; returns false when the system reports a failure.
  bool Flush();

 private:
  FileMode mode_;
  FileDescriptor fd_;
};

/// Bytes gathered in memory; grows as it is written. A failed growth raises EStreamError
/// "Out of memory while expanding memory stream".
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  std::int64_t Size() override { return size_; }

  /// Sets the size; new bytes are unspecified. The position stays unless it lies past the end.
  void SetSize(std::int64_t size);
  void Clear() { SetSize(0); }
  const std::uint8_t* Memory() const { return data_.get(); }
  std::uint8_t* Memory() { return data_.get(); }

 private:
  void Reserve(std::int64_t capacity);

  std::unique_ptr<std::uint8_t[]> data_;
  std::int64_t size_ = 0;
  std::int64_t capacity_ = 0;
  std::int64_t position_ = 0;
};

}  // namespace quillamar
