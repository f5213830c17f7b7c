// Replays every fuzzer's committed inputs (seed corpus and past crashers) through its harness.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>

#include "fuzz/parser_harnesses.h"
#include "fuzz/read_png_harness.h"

namespace quillamar::fuzzing {
namespace {

namespace fs = std::filesystem;
using png::fuzzing::ReadOutcome;

using Harness = void (*)(const std::uint8_t*, std::size_t);

// Each target's folder name under fuzz/corpus and fuzz/crashers, and its harness.
const std::map<std::string, Harness> kHarnesses = {
    {"png_read",
     [](const std::uint8_t* data, std::size_t size) { png::fuzzing::ReadPngBytes(data, size); }},
    {"channel", ParseChannelBytes},
    {"server_request", DecodeServerRequestBytes},
    {"report", LoadReportBytes},
};

std::vector<std::string> RememberedInputs() {
  std::vector<std::string> paths;
  for (const auto& [target, harness] : kHarnesses) {
    for (const char* folder : {"fuzz/corpus/", "fuzz/crashers/"}) {
      for (const auto& entry : fs::directory_iterator(folder + target)) {
        if (entry.path().filename().string()[0] != '.') paths.push_back(entry.path().string());
      }
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// How the PNG seeds end; the other inputs need only end without a fault.
const std::map<std::string, ReadOutcome> kPngSeedOutcomes = {
    {"split_idat_rgb.png", ReadOutcome::kRead},
    {"interlaced_palette_trns.png", ReadOutcome::kRead},
    {"preset_dictionary.png", ReadOutcome::kRaised},
    {"trns_without_palette.png", ReadOutcome::kRead},
};

class FuzzReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzReplay, EndsWithoutFault) {
  const fs::path path = GetParam();
  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::string target = path.parent_path().filename().string();
  if (target != "png_read") {
    EXPECT_NO_THROW(kHarnesses.at(target)(data, bytes.size()));
    return;
  }
  ReadOutcome outcome = ReadOutcome::kRead;
  EXPECT_NO_THROW(outcome = png::fuzzing::ReadPngBytes(data, bytes.size()));
  const auto expected = kPngSeedOutcomes.find(path.filename().string());
  if (expected != kPngSeedOutcomes.end()) {
    EXPECT_EQ(outcome, expected->second);
  }
}

INSTANTIATE_TEST_SUITE_P(Remembered, FuzzReplay, ::testing::ValuesIn(RememberedInputs()),
                         [](const auto& info) {
                           const fs::path path = info.param;
                           std::string name =
                               path.parent_path().filename().string() + path.stem().string();
                           std::erase_if(name, [](char c) { return !std::isalnum(c); });
                           return name + std::to_string(info.index);
                         });

}  // namespace
}  // namespace quillamar::fuzzing
