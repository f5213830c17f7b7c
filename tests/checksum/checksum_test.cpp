// CRC-32 and Adler-32 against zlib's, over lengths around the block sizes and the reduction
// interval, at every alignment, from fresh and running starts.
#include "checksum/checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace quillamar::checksum {
namespace {

struct Run {
  const char* name;
  std::size_t length;
  bool all_ones;  ///< 0xFF bytes push the sums as far as they go between reductions
};

const Run kRuns[] = {
    {"Empty", 0, false},
    {"One", 1, false},
    {"BelowBlock", 31, false},
    {"Block", 32, false},
    {"BlockAndOne", 33, false},
    {"FoldStart", 64, false},
    {"Odd", 1000, false},
    {"Interval", 5552, true},
    {"IntervalAndOne", 5553, true},
    {"LongOnes", 200000, true},
    {"LongRandom", 200001, false},
};

void PrintTo(const Run& run, std::ostream* os) { *os << run.name; }

std::vector<std::uint8_t> Bytes(const Run& run) {
  std::vector<std::uint8_t> bytes(run.length + 3, 0xFF);
  std::mt19937 random(static_cast<unsigned>(run.length));
  if (!run.all_ones) {
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

class ChecksumTest : public ::testing::TestWithParam<Run> {};

TEST_P(ChecksumTest, EqualsZlibAtEveryAlignmentAndStart) {
  const auto bytes = Bytes(GetParam());
  const auto n = static_cast<uInt>(GetParam().length);
  for (std::size_t offset = 0; offset < 4; ++offset) {
    const std::uint8_t* p = bytes.data() + offset;
    EXPECT_EQ(Crc32Update(0xFFFFFFFFu, p, n) ^ 0xFFFFFFFFu, crc32(0, p, n)) << offset;
    EXPECT_EQ(Adler32Update(1, p, n), adler32(1, p, n)) << offset;
    // Running sums near their largest values before the bytes.
    const std::uint32_t crc_start = 0x9E3779B9u;
    EXPECT_EQ(Crc32Update(crc_start ^ 0xFFFFFFFFu, p, n) ^ 0xFFFFFFFFu, crc32(crc_start, p, n));
    const std::uint32_t adler_start = (65520u << 16) | 65520u;
    EXPECT_EQ(Adler32Update(adler_start, p, n), adler32(adler_start, p, n)) << offset;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, ChecksumTest, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillamar::checksum
