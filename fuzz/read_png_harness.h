// Runs the PNG reader on arbitrary bytes the way the page re-encoder uses it; shared by the
// fuzzer and by the test that replays its remembered inputs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillamar::png::fuzzing {

/// How reading ended.
enum class ReadOutcome { kRead, kRaised };

/// Reads the bytes as a PNG (when the last byte is odd, after giving every complete chunk its right
/// CRC, so that the fuzzer gets past the CRC checks), then assigns whatever was read to a bitmap
/// and draws it there; then reads them again with the rows of a colour image going to a row
/// stream, and aborts if a reading without error left a row out. The system's own exceptions are
/// expected and swallowed; anything else passes on. The outcome is that of the first reading.
ReadOutcome ReadPngBytes(const std::uint8_t* data, std::size_t size);

}  // namespace quillamar::png::fuzzing
