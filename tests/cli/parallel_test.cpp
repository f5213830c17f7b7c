// The README's GNU parallel command, run on this machine with two job slots over the shared PDFs:
// every good PDF converted once, the bad ones reported, and a second run converting nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "support/temp_dir.h"

namespace quillamar::cli {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testing::ReadFileText;
using testing::TempDir;

const fs::path kPdfs = fs::path(QUILLAMAR_TESTDATA) / "pdfs";
// Damaged or locked on purpose (see the test data's SOURCES.md).
const std::set<std::string> kBadPdfs = {"damaged_truncated.pdf", "damaged_xref_broken.pdf",
                                        "encrypted_user_password.pdf"};

// The first "```sh" block of the README's section on very large collections.
std::string ReadmeCommand() {
  const std::string readme = ReadFileText(QUILLAMAR_SOURCE_DIR "/README.md");
  const auto section = readme.find("## Converting very large collections");
  const auto start = readme.find("```sh\n", section);
  if (section == std::string::npos || start == std::string::npos) return "";
  const auto body = start + 6;
  return readme.substr(body, readme.find("```", body) - body);
}

// The page count by pdfinfo, which knows nothing of our renderer.
int PagesByPdfinfo(const fs::path& pdf) {
  const std::string command = "pdfinfo '" + pdf.string() + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string output;
  char buffer[4096];
  while (const std::size_t count = std::fread(buffer, 1, sizeof buffer, pipe)) {
    output.append(buffer, count);
  }
  ::pclose(pipe);
  const auto at = output.find("\nPages:");
  return at == std::string::npos ? -1 : std::stoi(output.substr(at + 7));
}

class ParallelTest : public ::testing::Test {
 protected:
  // Spreads the shared PDFs over three folders, one of them twice under the same name.
  void SetUp() override {
    int index = 0;
    for (const auto& entry : fs::directory_iterator(kPdfs)) {
      if (entry.path().extension() != ".pdf") continue;
      AddPdf("part" + std::to_string(index++ % 3), entry.path());
    }
    AddPdf("part1", kPdfs / "text_latex_4p.pdf");
    AddPdf("part2", kPdfs / "text_latex_4p.pdf");
    dir_.Write("hosts.txt", "2/:\n");  // two job slots on this host stand in for two hosts
    dir_.Write("sharded.sh", ReadmeCommand());
  }

  void AddPdf(const std::string& folder, const fs::path& pdf) {
    fs::create_directories(dir_ / ("archive/" + folder));
    const std::string link = dir_ / ("archive/" + folder + "/" + pdf.filename().string());
    std::error_code exists;
    fs::create_symlink(pdf, link, exists);
    if (!exists) inputs_[link] = pdf;
  }

  void RunCommand() const {
    const std::string command =
        "cd '" + dir_.path() + "' && archive='" + dir_ / "archive" + "' out='" + dir_ / "out" +
        "' PATH='" QUILLAMAR_BIN_DIR "':\"$PATH\" bash sharded.sh >log 2>&1";
    std::system(command.c_str());  // parallel's status counts the folders with bad PDFs
  }

  // Every line of every report under the output folder.
  std::vector<Json> MergedReport() const {
    std::vector<Json> lines;
    for (const auto& entry : fs::recursive_directory_iterator(dir_ / "out")) {
      if (entry.path().filename() != "report.jsonl") continue;
      std::istringstream text(ReadFileText(entry.path()));
      for (std::string line; std::getline(text, line);) lines.push_back(Json::parse(line));
    }
    return lines;
  }

  std::map<std::string, fs::file_time_type> PageFileTimes() const {
    std::map<std::string, fs::file_time_type> times;
    for (const auto& entry : fs::recursive_directory_iterator(dir_ / "out")) {
      if (entry.path().extension() == ".jpg") times[entry.path()] = entry.last_write_time();
    }
    return times;
  }

  TempDir dir_;
  std::map<std::string, fs::path> inputs_;  // the archive's PDFs and what they link to
};

TEST_F(ParallelTest, EveryGoodPdfOnceTheBadOnesReportedAndAResumeConvertsNothing) {
  ASSERT_NE(ReadmeCommand().find("parallel"), std::string::npos);
  RunCommand();
  const std::vector<Json> first = MergedReport();
  std::map<std::string, std::multiset<std::string>> outcomes;
  for (const Json& line : first) outcomes[line["pdf"]].insert(line["outcome"]);
  ASSERT_EQ(outcomes.size(), inputs_.size()) << ReadFileText(dir_ / "log");

  for (const auto& [pdf, original] : inputs_) {
    SCOPED_TRACE(pdf);
    if (kBadPdfs.count(original.filename())) {
      EXPECT_EQ(outcomes[pdf], std::multiset<std::string>{"failed"});
      continue;
    }
    EXPECT_EQ(outcomes[pdf], std::multiset<std::string>{"converted"});
  }
  for (const Json& line : first) {
    if (line["outcome"] != "converted") continue;
    const fs::path pdf = line["pdf"].get<std::string>();
    EXPECT_EQ(line["pages"], PagesByPdfinfo(inputs_[pdf])) << pdf;
    // Pages lie in the output folder of the PDF's own folder, so equal names never meet.
    const fs::path folder = dir_ / ("out/" + pdf.parent_path().filename().string());
    for (const auto& file : line["files"]) {
      EXPECT_EQ(fs::path(file.get<std::string>()).parent_path(), folder);
      EXPECT_TRUE(fs::exists(file.get<std::string>())) << file;
    }
  }

  const auto times = PageFileTimes();
  RunCommand();
  std::map<std::string, std::multiset<std::string>> again;
  for (const Json& line : MergedReport()) again[line["pdf"]].insert(line["outcome"]);
  for (const auto& [pdf, once] : outcomes) {
    std::multiset<std::string> expected = once;
    if (*once.begin() == "failed") expected.insert("failed");  // tried and reported again
    EXPECT_EQ(again[pdf], expected) << pdf;
  }
  EXPECT_EQ(PageFileTimes(), times);
}

}  // namespace
}  // namespace quillamar::cli
