// The commands and job scripts of docs/scale-out.md, run verbatim over the shared PDFs: GNU
// parallel with two local job slots, then on real engines this test starts on loopback (two sshd
// hosts; a Slurm cluster of munged, slurmctld and two slurmd). Every good PDF is converted once,
// the bad ones are reported, a stop leaves its report lines, and running again converts nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>

#include "framework/descriptors.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quillamar {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Outcomes = std::map<std::string, std::multiset<std::string>>;  // by PDF path
using testing::ChildProcess;
using testing::ProcessResult;
using testing::ReadFileText;
using testing::TempDir;

const fs::path kPdfs = fs::path(QUILLAMAR_TESTDATA) / "pdfs";
// Damaged or locked on purpose (see the test data's SOURCES.md).
const std::set<std::string> kBadPdfs = {"damaged_truncated.pdf", "damaged_xref_broken.pdf",
                                        "encrypted_user_password.pdf"};
const std::string kEngines = QUILLAMAR_SOURCE_DIR "/scripts/engines.sh";
// What the commands of one test may take together: well within CTest's timeout, so that a test
// that hangs still ends and stops its daemons.
constexpr auto kTestPatience = std::chrono::seconds(400);
constexpr char kUntilNoJobs[] = "while [ -n \"$(squeue -h)\" ]; do sleep 0.2; done";

// The first "```sh" block of docs/scale-out.md that holds the text.
std::string DocumentedBlock(const std::string& holding) {
  const std::string doc = ReadFileText(QUILLAMAR_SOURCE_DIR "/docs/scale-out.md");
  for (auto start = doc.find("```sh\n"); start != std::string::npos;
       start = doc.find("```sh\n", start + 1)) {
    const auto body = start + 6;
    std::string block = doc.substr(body, doc.find("```", body) - body);
    if (block.find(holding) != std::string::npos) return block;
  }
  return "";
}

// The bytes of a path in a report line: its hexadecimal twin's when it has one.
std::string PathOf(const Json& line, const std::string& field, int index = -1) {
  const auto at = [index](const Json& value) -> const Json& {
    return index < 0 ? value : value[index];
  };
  if (!line.contains(field + "_hex")) return at(line[field]);
  const std::string hex = at(line[field + "_hex"]);
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// The page count by pdfinfo, which knows nothing of our renderer.
int PagesByPdfinfo(const fs::path& pdf) {
  const ProcessResult info = testing::RunProcess({"/usr/bin/pdfinfo", pdf.string()});
  const auto at = info.out.find("\nPages:");
  return at == std::string::npos ? -1 : std::stoi(info.out.substr(at + 7));
}

// Free TCP ports on loopback, for daemons that take their ports from a configuration file.
std::vector<std::string> FreePorts(int count) {
  std::vector<FileDescriptor> sockets;  // held open together, so that the ports differ
  std::vector<std::string> ports;
  for (int i = 0; i < count; ++i) {
    sockets.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof address;
    ::bind(sockets.back().Get(), reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(sockets.back().Get(), reinterpret_cast<sockaddr*>(&address), &length);
    ports.push_back(std::to_string(ntohs(address.sin_port)));
  }
  return ports;
}

// The PDFs' own folders mirrored under the output folder.
std::function<fs::path(const fs::path&)> Mirrored(const TempDir& dir, const std::string& out) {
  return [&dir, out](const fs::path& pdf) {
    return dir / (out + "/" + fs::relative(pdf.parent_path(), dir / "archive").string());
  };
}

// An archive of the shared PDFs in folders, the documented commands run on it, and what they
// left in the output folders.
class ScaleOutTest : public ::testing::Test {
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
    environment_ = {{"archive", dir_ / "archive"},
                    {"out", dir_ / "out"},
                    {"PATH", QUILLAMAR_BIN_DIR ":" + std::string(std::getenv("PATH"))}};
  }

  // Stops whatever engine the test started, even after a failure, and checks nothing is left.
  void TearDown() override {
    testing::RunProcess({kEngines, "stop", dir_ / "engines"});
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string command = ReadFileText(entry.path() / "cmdline");
      EXPECT_EQ(command.find(dir_.path()), std::string::npos) << "left running: " << command;
    }
  }

  void AddPdf(const std::string& folder, const fs::path& pdf) {
    fs::create_directories(dir_ / ("archive/" + folder));
    const std::string link = dir_ / ("archive/" + folder + "/" + pdf.filename().string());
    std::error_code exists;
    fs::create_symlink(pdf, link, exists);
    if (!exists) inputs_[link] = pdf;
  }

  // Starts an engine by engines.sh's arguments (its folder: "engines"); the reason when it
  // cannot run on this machine.
  std::optional<std::string> WhyNoEngine(const std::string& arguments) const {
    const ProcessResult started = Run(kEngines + " " + arguments);
    if (started.exit_status == 77) return started.out;
    EXPECT_EQ(started.exit_status, 0) << started.out << started.err;
    return std::nullopt;
  }

  // Runs shell code in the test's folder with the environment, killed with all it started when
  // it outlives its deadline; its output goes to "log".
  ProcessResult Run(const std::string& code) const {
    const std::string seconds = std::to_string(Left().count());
    ChildProcess shell({"/usr/bin/timeout", "-k", "5", seconds, "/bin/bash", "-c", code},
                       {.environment = environment_, .folder = dir_.path()});
    const ProcessResult result = shell.Wait(Left() + std::chrono::seconds(10));
    std::ofstream(dir_ / "log", std::ios::app) << result.out << result.err;
    return result;
  }

  // What is left of the test's patience, at least a second.
  std::chrono::seconds Left() const {
    const auto left = deadline_ - std::chrono::steady_clock::now();
    return std::max(std::chrono::seconds(1),
                    std::chrono::duration_cast<std::chrono::seconds>(left));
  }

  // Every line of every report under the folder.
  std::vector<Json> MergedReport(const std::string& folder = "out") const {
    std::vector<Json> lines;
    if (!fs::exists(dir_ / folder)) return lines;
    for (const auto& entry : fs::recursive_directory_iterator(dir_ / folder)) {
      if (entry.path().filename() != "report.jsonl") continue;
      std::istringstream text(ReadFileText(entry.path()));
      for (std::string line; std::getline(text, line);) lines.push_back(Json::parse(line));
    }
    return lines;
  }

  Outcomes OutcomesOf(const std::vector<Json>& report) const {
    Outcomes outcomes;
    for (const Json& line : report) outcomes[PathOf(line, "pdf")].insert(line["outcome"]);
    return outcomes;
  }

  // Every good PDF converted once, with pdfinfo's page count, into the folder that says, and
  // every bad one failed; after a stop, the stop's own lines and bad PDFs tried again besides.
  void ExpectEveryPdfOnce(const std::vector<Json>& report,
                          const std::function<fs::path(const fs::path& pdf)>& folder_of,
                          bool after_a_stop = false) {
    Outcomes outcomes = OutcomesOf(report);
    ASSERT_EQ(outcomes.size(), inputs_.size()) << ReadFileText(dir_ / "log");
    for (auto& [pdf, seen] : outcomes) {
      const bool bad = kBadPdfs.count(inputs_[pdf].filename()) > 0;
      if (after_a_stop) {
        std::erase_if(seen,
                      [](const std::string& o) { return o == "stopped" || o == "not_reached"; });
        while (seen.count("failed") > 1) seen.erase(seen.find("failed"));
      }
      EXPECT_EQ(seen, std::multiset<std::string>{bad ? "failed" : "converted"}) << pdf;
    }
    for (const Json& line : report) {
      if (line["outcome"] != "converted") continue;
      const fs::path pdf = PathOf(line, "pdf");
      EXPECT_EQ(line["pages"], PagesByPdfinfo(inputs_[pdf])) << pdf;
      for (int i = 0; i < static_cast<int>(line["files"].size()); ++i) {
        const fs::path file = PathOf(line, "files", i);
        EXPECT_EQ(file.parent_path().lexically_normal(), folder_of(pdf).lexically_normal()) << pdf;
        EXPECT_TRUE(fs::exists(file)) << file;
      }
    }
  }

  // Runs the code again: no page file is written anew, and the outcomes are the earlier ones,
  // bad PDFs tried and reported once more.
  void ExpectNothingConvertedAgain(const std::string& code, const Outcomes& before) {
    const auto times = PageFileTimes();
    Run(code);
    EXPECT_EQ(PageFileTimes(), times);
    Outcomes after = OutcomesOf(MergedReport());
    for (const auto& [pdf, once] : before) {
      std::multiset<std::string> expected = once;
      if (once.count("failed") > 0) expected.insert("failed");
      EXPECT_EQ(after[pdf], expected) << pdf;
    }
  }

  std::map<std::string, fs::file_time_type> PageFileTimes() const {
    std::map<std::string, fs::file_time_type> times;
    for (const auto& entry : fs::recursive_directory_iterator(dir_ / "out")) {
      if (entry.path().extension() == ".jpg") times[entry.path()] = entry.last_write_time();
    }
    return times;
  }

  // The GNU parallel command, run twice on the hosts: the second run converts nothing. The job
  // log's seventh column is each job's exit status: 3 exactly for the folders with a bad PDF.
  // Returns the hosts the job log names.
  std::set<std::string> ShardByFoldersWithParallel(const std::string& hosts) {
    std::set<std::string> hosts_used;
    dir_.Write("hosts.txt", hosts);
    dir_.Write("sharded.sh", DocumentedBlock("parallel -0"));
    EXPECT_NE(ReadFileText(dir_ / "sharded.sh"), "");
    Run("bash sharded.sh");  // parallel's status counts the folders with bad PDFs
    const std::vector<Json> first = MergedReport();
    ExpectEveryPdfOnce(first, Mirrored(dir_, "out"));
    std::set<std::string> failing_folders;
    for (const auto& [pdf, original] : inputs_) {
      if (kBadPdfs.count(original.filename())) failing_folders.insert(fs::path(pdf).parent_path());
    }
    std::multiset<std::string> statuses;
    std::istringstream log(ReadFileText(dir_ / "jobs.tsv"));
    std::string line;
    std::getline(log, line);  // the column names
    while (std::getline(log, line)) {
      std::vector<std::string> columns;
      std::istringstream fields(line);
      for (std::string field; std::getline(fields, field, '\t');) columns.push_back(field);
      if (columns.size() < 9) continue;  // a folder name's newline
      hosts_used.insert(columns[1]);
      statuses.insert(columns[6]);
    }
    EXPECT_EQ(statuses.count("3"), failing_folders.size());
    EXPECT_EQ(statuses.count("0") + statuses.count("3"), statuses.size());
    ExpectNothingConvertedAgain("bash sharded.sh", OutcomesOf(first));
    return hosts_used;
  }

  TempDir dir_;
  std::map<std::string, fs::path> inputs_;  // the archive's PDFs and what they link to
  std::map<std::string, std::string> environment_;
  const std::chrono::steady_clock::time_point deadline_ =
      std::chrono::steady_clock::now() + kTestPatience;
};

TEST_F(ScaleOutTest, ParallelWithTwoLocalJobSlots) {
  // Two slots on this host ("-S 1/:,1/:" would give one, not two).
  EXPECT_EQ(ShardByFoldersWithParallel("2/:\n"), std::set<std::string>{":"});
}

// The same command over ssh to two hosts on loopback, with folder names a shell would mangle.
TEST_F(ScaleOutTest, EnginesParallelOverSsh) {
  for (const char* name : {"blank name", "quote's \"and\" `touch executed`", "$(touch executed)",
                           "new\nline", "caf\xe9"}) {
    AddPdf(name, kPdfs / "text_latex_4p.pdf");
  }
  if (const auto why = WhyNoEngine("ssh engines " + FreePorts(1)[0] + " " QUILLAMAR_BIN_DIR)) {
    GTEST_SKIP() << *why;
  }
  environment_["PARALLEL_SSH"] = "ssh -F " + dir_ / "engines/ssh_config";
  EXPECT_EQ(ShardByFoldersWithParallel("1/127.0.0.2\n1/127.0.0.3\n"),
            (std::set<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_FALSE(fs::exists(fs::path(std::getenv("HOME")) / "executed"));
  for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
    EXPECT_NE(entry.path().filename(), "executed");
  }
}

// The job script per chunk of a list: cancelled once a first PDF is done, which leaves a line
// for every PDF of each started chunk, then submitted again to the end, and once more, which
// converts nothing. Then the job script per folder, into the mirrored folders.
TEST_F(ScaleOutTest, EnginesSlurmArrays) {
  const std::vector<std::string> ports = FreePorts(3);
  if (const auto why = WhyNoEngine("slurm engines " + ports[0] + " " + ports[1] + " " + ports[2])) {
    GTEST_SKIP() << *why;
  }
  environment_.insert({{"SLURM_CONF", dir_ / "engines/slurm.conf"},
                       {"chunks", dir_ / "chunks"},
                       {"folders", dir_ / "folders"},
                       {"per_task", "6"}});
  fs::create_directories(dir_ / "chunks");
  dir_.Write("convert-chunk.sh", DocumentedBlock("#SBATCH --job-name=quillamar\n"));
  dir_.Write("convert-folder.sh", DocumentedBlock("#SBATCH --job-name=quillamar-folders\n"));
  const std::string submit = DocumentedBlock("sbatch --array") + kUntilNoJobs;
  ASSERT_EQ(Run(DocumentedBlock("split -t")).exit_status, 0);

  ASSERT_EQ(Run(DocumentedBlock("sbatch --array")).exit_status, 0);
  ASSERT_TRUE(testing::WaitFor([&] { return !MergedReport().empty(); }, Left()));
  Run("scancel --user=\"$(id -un)\"\n" + std::string(kUntilNoJobs));
  const std::string tasks = Run("scontrol --oneliner show job").out;  // SIGTERM: status 130
  EXPECT_NE(tasks.find("ExitCode=130:0"), std::string::npos) << tasks;
  std::map<fs::path, fs::path> shard_of;  // each PDF's output folder
  for (const auto& chunk : fs::directory_iterator(dir_ / "chunks")) {
    const std::string shard = dir_ / ("out/" + chunk.path().filename().string());
    std::istringstream listed(ReadFileText(chunk.path()));
    std::size_t entries = 0;
    for (std::string pdf; std::getline(listed, pdf, '\0'); ++entries) shard_of[pdf] = shard;
    // A started chunk has a line for each of its PDFs, whether converted, stopped or not reached.
    if (fs::exists(shard + "/report.jsonl")) {
      EXPECT_EQ(MergedReport(fs::relative(shard, dir_.path())).size(), entries) << shard;
    }
  }
  const Outcomes cancelled = OutcomesOf(MergedReport());
  EXPECT_TRUE(std::any_of(cancelled.begin(), cancelled.end(), [](const auto& pdf) {
    return pdf.second.count("stopped") + pdf.second.count("not_reached") > 0;
  })) << "the cancel came too late to stop anything";

  Run(submit);
  const std::vector<Json> resumed = MergedReport();
  ExpectEveryPdfOnce(
      resumed, [&](const fs::path& pdf) { return shard_of[pdf]; }, /*after_a_stop=*/true);
  ExpectNothingConvertedAgain(submit, OutcomesOf(resumed));

  environment_["out"] = dir_ / "out-folders";
  Run(DocumentedBlock(">\"$folders\""));
  Run(DocumentedBlock("convert-folder.sh") + kUntilNoJobs);
  ExpectEveryPdfOnce(MergedReport("out-folders"), Mirrored(dir_, "out-folders"));
}

}  // namespace
}  // namespace quillamar
