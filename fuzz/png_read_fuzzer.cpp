// libFuzzer entry: every input goes through the reader, the bitmap assignment and the drawing.
#include <cstddef>
#include <cstdint>

#include "fuzz/read_png_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillamar::png::fuzzing::ReadPngBytes(data, size);
  return 0;
}
