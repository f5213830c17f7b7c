// The harnesses of the parsers of foreign bytes.
#include "fuzz/parser_harnesses.h"

#include <sys/mman.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/resume.h"
#include "contract/page_channel.h"
#include "contract/renderer_server.h"
#include "framework/descriptors.h"
#include "framework/system_calls.h"

namespace quillamar::fuzzing {
namespace {

using contract::ChannelMessage;

void CheckRoundTrip(const ChannelMessage& message) {
  std::string line = contract::FormatChannelLine(message);
  if (line.empty() || line.back() != '\n') std::abort();
  line.pop_back();
  if (contract::ParseChannelLine(line) != message) std::abort();
}

}  // namespace

void ParseChannelBytes(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto message = contract::ParseChannelLine(text)) CheckRoundTrip(*message);
  contract::ChannelLines lines;
  const std::size_t piece = size == 0 ? 1 : data[0] % 16 + 1;
  for (std::size_t at = 0; at < size; at += piece) {
    lines.Append(text.data() + at, std::min(piece, size - at));
    while (const auto message = lines.Next()) CheckRoundTrip(*message);
  }
}

void DecodeServerRequestBytes(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto request = contract::DecodeServerRequest(bytes);
  if (request && contract::EncodeServerRequest(*request) != bytes) std::abort();
}

void LoadReportBytes(const std::uint8_t* data, std::size_t size) {
  // A file in memory, read through its /proc name as resume reads a report.
  const FileDescriptor file(::memfd_create("report", MFD_CLOEXEC));
  if (!file.Valid() || WriteAll(file.Get(), data, size) != size) std::abort();
  cli::ResumeIndex index({"/a.pdf", "a.pdf"});
  if (!index.Load("/proc/self/fd/" + std::to_string(file.Get()))) std::abort();
  index.AlreadyConverted("/a.pdf", cli::FileStamp{1, 2}, "JPG", "72");
}

}  // namespace quillamar::fuzzing
