// quillamar-cli's report (one JSON line per PDF) and resuming from it, beside a script renderer.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "cli_fixture.h"
#include "framework/descriptors.h"
#include "support/images.h"
#include "support/named_cases.h"

namespace quillamar::cli {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names
using Json = nlohmann::json;

// The renderer by the PDF's name, its pages copies of a 1 x 1 PNG: "bad" writes page 1 and fails,
// "broken" writes a page that is no PNG, "slow" waits to be stopped, anything else writes two good
// pages.
std::string ScriptRenderer() {
  const std::string page = "cp \"$(dirname \"$0\")/page.png\" \"${pattern%\\%d.png}";
  return "#!/bin/sh\n"
         "echo \"$7\" >> \"$(dirname \"$0\")/rendered\"\n"
         "pattern=\"$2\"\n"
         "case \"$7\" in\n"
         "  *bad*) " +
         page +
         "1.png\"; echo 'lib.dll: broken' >&2; exit 1;;\n"
         "  *broken*) echo 'not a png' > \"${pattern%\\%d.png}1.png\";;\n"
         "  *slow*) echo $$ > \"$(dirname \"$0\")/pid\"; while :; do sleep 0.05; done;;\n"
         "  *) for n in 1 2; do " +
         page +
         "$n.png\"; done;;\n"
         "esac\n";
}

class ReportTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    dir_.Write("bin/lib.dll", ScriptRenderer(), /*executable=*/true);
    testing::WritePng(dir_ / "bin/page.png", testing::PngKind::kGray, 1, 1,
                      [](int, int) { return testing::Rgb{}; });
  }

  // Every line of the report, each of which must be one JSON object.
  std::vector<Json> Report(const std::string& name = "report.jsonl") const {
    std::istringstream lines(ReadFileText(dir_ / name));
    std::vector<Json> objects;
    for (std::string line; std::getline(lines, line);) {
      objects.push_back(Json::parse(line, nullptr, /*allow_exceptions=*/false));
      EXPECT_TRUE(objects.back().is_object()) << line;
    }
    return objects;
  }

  Strings Outcomes() const {
    Strings outcomes;
    for (const Json& line : Report()) outcomes.push_back(line.value("outcome", "?"));
    return outcomes;
  }

  int RendererStarts() const {
    const std::string rendered = ReadFileText(dir_ / "bin/rendered");
    return static_cast<int>(std::count(rendered.begin(), rendered.end(), '\n'));
  }
};

// One run, every PDF's line: outcome, error, pages.
struct OutcomeCase {
  const char* name;
  bool with_renderer;
  Strings pdfs;
  int status;
  std::vector<std::tuple<const char*, const char*, int>> lines;  // outcome, error part, pages
};

const OutcomeCase kOutcomeCases[] = {
    {"ConvertedFailedErrorNotReached",
     true,
     {"good.pdf", "bad.pdf", "broken.pdf", "later.pdf"},
     kStatusError,
     {{"converted", "", 2}, {"failed", "broken", 1}, {"error", "", 0}, {"not_reached", "", 0}}},
    {"RendererMissing",
     false,
     {"a.pdf", "b.pdf"},
     kStatusSomeFailed,
     {{"not_started", "", 0}, {"not_started", "", 0}}},
};

class ReportOutcomeTest : public ReportTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ReportOutcomeTest, OneLinePerPdf) {
  const OutcomeCase& c = GetParam();
  if (!c.with_renderer) std::filesystem::remove(dir_ / "bin/lib.dll");
  for (const auto& pdf : c.pdfs) dir_.Write(pdf, "%PDF " + pdf);
  Strings arguments{"-o", "OUT", "--report", "report.jsonl"};
  arguments.insert(arguments.end(), c.pdfs.begin(), c.pdfs.end());
  const ProcessResult run = RunCli(arguments);
  EXPECT_EQ(run.exit_status, c.status) << run.err;

  const std::vector<Json> report = Report();
  ASSERT_EQ(report.size(), c.lines.size());
  for (std::size_t i = 0; i < report.size(); ++i) {
    const Json& line = report[i];
    const auto& [outcome, error, pages] = c.lines[i];
    SCOPED_TRACE(c.pdfs[i]);
    EXPECT_EQ(line["pdf"], dir_ / c.pdfs[i]);
    EXPECT_EQ(line["outcome"], outcome);
    EXPECT_NE(line.value("error", "").find(error), std::string::npos) << line.dump();
    EXPECT_EQ(line["pages"], pages);
    ASSERT_EQ(line["files"].size(), static_cast<std::size_t>(pages));
    for (const auto& file : line["files"]) {
      EXPECT_TRUE(std::filesystem::exists(file.get<std::string>())) << file;
    }
    if (line["outcome"] == "error") {
      EXPECT_NE(run.err.find(line.value("error", "?")), std::string::npos) << line.dump();
    }
    struct stat status {};
    ASSERT_EQ(::stat((dir_ / c.pdfs[i]).c_str(), &status), 0);
    EXPECT_EQ(line["size"], status.st_size);
    EXPECT_EQ(line["mtime_ns"], status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec);
    EXPECT_EQ(line["format"], "JPG");
    EXPECT_EQ(line["resolution"], "72");
  }
  if (c.with_renderer) {
    EXPECT_EQ(report[0]["files"], Json({dir_ / "OUT/good_1.jpg", dir_ / "OUT/good_2.jpg"}));
  }
}

QUILLAMAR_TABLE_TESTS(Cli, ReportOutcomeTest, kOutcomeCases);

// Ctrl-C, sent to the program alone and not its process group, stops the renderer too.
TEST_F(ReportTest, CtrlCStopsTheRendererAndTheRestWereNeverReached) {
  for (const char* pdf : {"good.pdf", "slow.pdf", "z.pdf"}) dir_.Write(pdf, "");
  const auto cli =
      Start({"-o", "OUT", "--report", "report.jsonl", "good.pdf", "slow.pdf", "z.pdf"});
  // The first PDF's line is out while the second is being rendered (maybe started ahead).
  ASSERT_TRUE(testing::WaitFor([&] {
    return !ReadFileText(dir_ / "bin/pid").empty() && !Report().empty() &&
           ReadFileText(dir_ / "stdout").find("slow.pdf") != std::string::npos;
  }));
  EXPECT_EQ(Report().size(), 1u);
  cli->Signal(SIGINT);
  const ProcessResult run = cli->Wait(testing::kPatience);
  EXPECT_EQ(run.exit_status, kStatusInterrupted);
  EXPECT_EQ(run.out, "正在转换 good.pdf\n正在转换 slow.pdf\n已停止（第 2/3 个文件）\n");
  EXPECT_EQ(Outcomes(), (Strings{"converted", "stopped", "not_reached"}));
  const pid_t renderer = std::stoi(ReadFileText(dir_ / "bin/pid"));
  EXPECT_NE(::kill(renderer, 0), 0) << "the renderer outlived the program";
}

// A reader gone before the first status line (`| head -n 0`, a lost ssh channel) stops the run
// as Ctrl-C does, instead of ending it without the report's lines.
TEST_F(ReportTest, AClosedStandardOutputStopsTheRunAndEveryPdfIsReported) {
  for (const char* pdf : {"a.pdf", "b.pdf", "c.pdf"}) dir_.Write(pdf, "%PDF");
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  FileDescriptor(ends[0]).Reset();  // nobody reads
  const FileDescriptor writer(ends[1]);
  const ProcessResult run =
      RunCli({"-o", "OUT", "--report", "report.jsonl", "a.pdf", "b.pdf", "c.pdf"},
             {.out_fd = writer.Get()});
  EXPECT_EQ(run.exit_status, kStatusInterrupted) << run.err;
  EXPECT_EQ(Outcomes(), (Strings{"stopped", "not_reached", "not_reached"}));
}

TEST_F(ReportTest, AReportThatCannotBeWrittenIsAnError) {
  dir_.Write("a.pdf", "%PDF");
  const ProcessResult run = RunCli({"-o", "OUT", "--report", "/dev/full", "a.pdf"});
  EXPECT_EQ(run.exit_status, kStatusError);
  EXPECT_NE(run.err.find("cannot write report '/dev/full'"), std::string::npos) << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "OUT/a_2.jpg"));  // the pages themselves are fine
}

TEST_F(ReportTest, PathsThatAreNotUtf8AreKeptExactlyAndResumed) {
  const std::string name = "caf\xe9.pdf";
  dir_.Write(name, "%PDF");
  const Strings arguments{"-o",       "OUT",          "--report", "report.jsonl",
                          "--resume", "report.jsonl", name};
  ASSERT_EQ(RunCli(arguments).exit_status, kStatusConverted);
  const std::vector<Json> report = Report();
  ASSERT_EQ(report.size(), 1u);
  // Every byte in hexadecimal, the folder's too: "/café.pdf" in Latin-1 after the folder's.
  const std::string pdf_hex = report[0]["pdf_hex"];
  EXPECT_EQ(pdf_hex.size(), 2 * (dir_.path().size() + 9));
  EXPECT_TRUE(pdf_hex.ends_with("2f636166e92e706466")) << pdf_hex;
  EXPECT_EQ(report[0]["files_hex"][1], pdf_hex.substr(0, pdf_hex.size() - 18) +
                                           "2f4f55542f636166e95f322e6a7067");  // "/OUT/café_2.jpg"

  const ProcessResult again = RunCli(arguments);
  EXPECT_EQ(again.exit_status, kStatusConverted);
  EXPECT_NE(again.err.find("skipped 1 "), std::string::npos) << again.err;
  EXPECT_EQ(RendererStarts(), 1);
}

// What happens between two runs, and whether the second one converts the PDF again.
struct ResumeCase {
  const char* name;
  std::function<void(const TempDir&)> change;
  Strings second_options;
  int skipped;  // of the two PDFs
};

void SetModificationTime(const std::string& path, std::time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

const ResumeCase kResumeCases[] = {
    {"Unchanged", [](const TempDir&) {}, {}, 2},
    {"Touched",
     [](const TempDir& dir) { SetModificationTime(dir / "a.pdf", 2'000'000'000); },
     {},
     1},
    {"SameTimeOtherSize",
     [](const TempDir& dir) {
       struct stat before {};
       ::stat((dir / "a.pdf").c_str(), &before);
       dir.Write("a.pdf", "%PDF longer");
       const timespec times[2] = {before.st_atim, before.st_mtim};
       ::utimensat(AT_FDCWD, (dir / "a.pdf").c_str(), times, 0);
     },
     {},
     1},
    {"OtherResolution", [](const TempDir&) {}, {"-r", "150"}, 0},
    {"OtherFormat", [](const TempDir&) {}, {"-f", "png"}, 0},
    {"APageFileGone",
     [](const TempDir& dir) { std::filesystem::remove(dir / "OUT/a_2.jpg"); },
     {},
     1},
    {"ReportGone",
     [](const TempDir& dir) { std::filesystem::remove(dir / "report.jsonl"); },
     {},
     0},
    {"EarlierReportNamedAgain",
     [](const TempDir& dir) { std::filesystem::rename(dir / "report.jsonl", dir / "old.jsonl"); },
     {"--resume", "old.jsonl"},
     2},
};

class ResumeTest : public ReportTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ResumeTest, SkipsOnlyWhatIsConvertedAndUnchanged) {
  const ResumeCase& c = GetParam();
  dir_.Write("a.pdf", "%PDF");
  dir_.Write("b.pdf", "%PDF");
  const Strings options{"-o", "OUT", "--report", "report.jsonl", "--resume", "report.jsonl"};
  Strings first = options;
  first.insert(first.end(), {"a.pdf", "b.pdf"});
  ASSERT_EQ(RunCli(first).exit_status, kStatusConverted);
  c.change(dir_);

  Strings second = options;
  second.insert(second.end(), c.second_options.begin(), c.second_options.end());
  second.insert(second.end(), {"a.pdf", "b.pdf"});
  const ProcessResult run = RunCli(second);
  EXPECT_EQ(run.exit_status, kStatusConverted) << run.err;
  EXPECT_NE(run.err.find("skipped " + std::to_string(c.skipped) + " "), std::string::npos)
      << run.err;
  EXPECT_EQ(RendererStarts(), 2 + 2 - c.skipped);
}

QUILLAMAR_TABLE_TESTS(Cli, ResumeTest, kResumeCases);

}  // namespace
}  // namespace quillamar::cli
