// Runs the parsers of bytes that come from other processes or from disk (the page channel's lines,
// the prepared renderer's requests, the reports that resume reads) on arbitrary bytes; shared by
// their fuzzers and by the test that replays the remembered inputs. Each aborts when what it
// parsed breaks the parser's own promise, so that the fuzzer reports it as a crash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillamar::fuzzing {

/// Parses the bytes as one channel line, then feeds them to ChannelLines in pieces (sized by the
/// first byte) and takes every message out; each message parsed must format back to a line that
/// parses to the same message.
void ParseChannelBytes(const std::uint8_t* data, std::size_t size);

/// Decodes the bytes as a server request; a request decoded must encode back to the same bytes.
void DecodeServerRequestBytes(const std::uint8_t* data, std::size_t size);

/// Loads the bytes as a report for resume (for the PDFs "/a.pdf" and "a.pdf"), then asks whether
/// "/a.pdf" was converted; a report that loads must not be taken as an error.
void LoadReportBytes(const std::uint8_t* data, std::size_t size);

}  // namespace quillamar::fuzzing
