// Replays the fuzzer's committed inputs (seed corpus and past crashers) through the same harness.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>

#include "fuzz/read_png_harness.h"

namespace quillamar::png::fuzzing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> RememberedInputs() {
  std::vector<std::string> paths;
  for (const char* folder : {"fuzz/corpus", "fuzz/crashers"}) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename().string()[0] != '.') paths.push_back(entry.path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// How the seeds end; crashers need only end without a fault.
const std::map<std::string, ReadOutcome> kSeedOutcomes = {
    {"split_idat_rgb.png", ReadOutcome::kRead},
    {"interlaced_palette_trns.png", ReadOutcome::kRead},
    {"preset_dictionary.png", ReadOutcome::kRaised},
    {"trns_without_palette.png", ReadOutcome::kRead},
};

class FuzzReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzReplay, EndsWithoutFault) {
  std::ifstream in(GetParam(), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ReadOutcome outcome = ReadOutcome::kRead;
  EXPECT_NO_THROW(
      outcome = ReadPngBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  const auto expected = kSeedOutcomes.find(fs::path(GetParam()).filename().string());
  if (expected != kSeedOutcomes.end()) {
    EXPECT_EQ(outcome, expected->second);
  }
}

INSTANTIATE_TEST_SUITE_P(Remembered, FuzzReplay, ::testing::ValuesIn(RememberedInputs()),
                         [](const auto& info) {
                           std::string name = fs::path(info.param).stem().string();
                           std::erase_if(name, [](char c) { return !std::isalnum(c); });
                           return name + std::to_string(info.index);
                         });

}  // namespace
}  // namespace quillamar::png::fuzzing
