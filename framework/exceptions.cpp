// Message helpers shared by every exception site.
#include "framework/exceptions.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace quillamar {

std::string FormatMessage(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, pattern, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), pattern, args);
    text.assign(buffer.data(), static_cast<std::size_t>(length));
  }
  va_end(args);
  return text;
}

std::string DisplayedMessage(const std::string& message) {
  // Bytes compare unsigned, so a message ending in a multi-byte UTF-8 character gets its full stop
  // too.
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

}  // namespace quillamar
