// libFuzzer entry for one parser of foreign bytes; QUILLAMAR_FUZZ_HARNESS names its harness.
#include <cstddef>
#include <cstdint>

#include "fuzz/parser_harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillamar::fuzzing::QUILLAMAR_FUZZ_HARNESS(data, size);
  return 0;
}
