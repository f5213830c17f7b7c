// The framework's exception classes: every failure of the system is one of these, carrying its
// message.
#pragma once

#include <exception>
#include <string>

namespace quillamar {

/// Base of every exception the system raises; holds the message text shown to the user.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

/// The silent exception: ends an operation without anything being shown.
class EAbort : public Exception {
 public:
  using Exception::Exception;
};
/// A picture or value that cannot be converted or assigned ("Cannot assign a %s to a %s").
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};
/// A file-system failure outside the streams, such as "Unable to create directory".
class EInOutError : public Exception {
 public:
  using Exception::Exception;
};
/// An operation a graphic does not support, such as resizing a JPEG image.
class EInvalidGraphicOperation : public Exception {
 public:
  using Exception::Exception;
};
/// A request for more memory than the system allows itself ("Out of memory").
class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
};
/// Base of the stream failures.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
/// Base of the file stream failures.
class EFileStreamError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
/// A file that cannot be opened: "Cannot open file "%s". %s".
class EFOpenError : public EFileStreamError {
 public:
  using EFileStreamError::EFileStreamError;
};
/// A file that cannot be created: "Cannot create file "%s". %s".
class EFCreateError : public EFileStreamError {
 public:
  using EFileStreamError::EFileStreamError;
};
/// A stream that delivered fewer bytes than were required ("Stream read error").
class EReadError : public EStreamError {
 public:
  EReadError() : EStreamError("Stream read error") {}
};
/// A stream that took fewer bytes than were offered ("Stream write error").
class EWriteError : public EStreamError {
 public:
  EWriteError() : EStreamError("Stream write error") {}
};

/// Fills a printf-style message pattern such as "Cannot assign a %s to a %s".
std::string FormatMessage(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

/// The message as the error display shows it: a "." is added when the last byte compares above ".".
std::string DisplayedMessage(const std::string& message);

}  // namespace quillamar
