// Faults a run must survive, end to end through quillamar-cli and the real renderer: full disks,
// a killed renderer, a folder that vanishes or turns read-only, stop requests and page files that
// are not what they seem. Every wait is bounded, so a fault that hangs fails instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "png/png_object.h"
#include "support/images.h"
#include "support/named_cases.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quillamar {
namespace {

namespace fs = std::filesystem;
using quillamar::testing::PrintTo;  // table rows print as their names
using testing::ChildProcess;
using testing::ProcessResult;
using testing::RendererPath;
using testing::RunProcess;
using testing::TempDir;
using testing::WaitFor;
using Strings = std::vector<std::string>;

const std::string kCli = std::string(QUILLAMAR_BIN_DIR) + "/quillamar-cli";
const std::string kPdfs = std::string(QUILLAMAR_TESTDATA) + "/pdfs/";
const std::string kShortPdf = "text_latex_4p.pdf";  // 4 pages
const std::string kLongPdf = "long_lecture_notes_117p.pdf";

Strings CliArguments(const std::string& format, const std::string& dpi, const std::string& folder,
                     const Strings& pdfs) {
  Strings argv{kCli, "-f", format, "-r", dpi, "-o", folder};
  for (const auto& pdf : pdfs) argv.push_back(kPdfs + pdf);
  return argv;
}

std::string BaseName(const std::string& pdf) { return fs::path(pdf).stem().string(); }

std::string PagePath(const std::string& folder, const std::string& pdf, int page,
                     const char* extension) {
  return folder + "/" + BaseName(pdf) + "_" + std::to_string(page) + extension;
}

bool AnyPageOf(const std::string& folder, const std::string& pdf, const char* extension) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(BaseName(pdf) + "_") && name.ends_with(extension)) return true;
  }
  return false;
}

// What is wrong with the page files in the folder: temporary files left, PNGs that do not read
// completely, JPEGs that do not decode. Files that are not pages of ours are not looked at.
std::string PageFileFaults(const std::string& folder, bool temporaries_allowed = false) {
  static const std::regex kPage(".+_[0-9]+\\.(png|jpg)");
  std::string faults;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    const std::string path = entry.path().string();
    if (name.starts_with(".") || name.ends_with(".tmp")) {
      if (!temporaries_allowed) faults += "temporary file left: " + name + "\n";
      continue;
    }
    if (!std::regex_match(name, kPage) || !entry.is_regular_file(error)) continue;
    if (name.ends_with(".png")) {
      try {
        png::TPNGObject image;
        image.LoadFile(path);
      } catch (const Exception& e) {
        faults += name + ": " + e.Message() + "\n";
      }
    } else if (!testing::DecodeJpeg(testing::ReadAll(path))) {
      faults += name + ": not a complete JPEG\n";
    }
  }
  return faults;
}

// A tmpfs of the given size mounted on a new folder; needs root.
class SmallDisk {
 public:
  SmallDisk(const std::string& path, std::uint64_t bytes) : path_(path) {
    fs::create_directories(path);
    if (::geteuid() != 0) {
      why_not_ = "mounting a small file system needs root";
      return;
    }
    const std::string options = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      why_not_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& WhyNot() const { return why_not_; }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string why_not_;
};

// The space files take on a tmpfs: whole pages.
std::uint64_t SpaceTaken(const std::string& folder) {
  std::uint64_t total = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    total += (entry.file_size() + 4095) / 4096 * 4096;
  }
  return total;
}

TEST(FullDiskTest, WhileTheRendererWritesEveryPageIsCompleteAndTheCauseIsNamed) {
  const TempDir dir;
  const std::string out = dir / "out";
  const SmallDisk disk(out, 256 * 1024);
  if (!disk.Mounted()) GTEST_SKIP() << disk.WhyNot();
  const ProcessResult run = RunProcess(CliArguments("JPG", "150", out, {kLongPdf}));
  EXPECT_EQ(run.exit_status, kStatusSomeFailed);
  const std::string& err = run.err;
  EXPECT_NE(err.find("转换失败：" + kLongPdf), std::string::npos) << err;
  EXPECT_NE(err.find(BaseName(kLongPdf) + "_"), std::string::npos) << err;  // the page file
  EXPECT_NE(err.find(std::strerror(ENOSPC)), std::string::npos) << err;
  EXPECT_EQ(PageFileFaults(out), "");
}

TEST(FullDiskTest, WhileJpegsAreCommittedEveryPageIsCompleteAndTheCauseIsNamed) {
  const TempDir dir;
  // The renderer alone, writing the intermediate PNG a JPG run gets for page 1, to learn its room.
  const std::string measured = dir / "measured";
  fs::create_directories(measured);
  const ProcessResult renderer =
      RunProcess({RendererPath(), "-o", measured + "/" + BaseName(kShortPdf) + "_%d.png", "-F",
                  "png", "-r", "72", kPdfs + kShortPdf},
                 {{"QUILLAMAR_INTERMEDIATE_PNG", "1"}});
  ASSERT_EQ(renderer.exit_status, 0) << renderer.err;
  for (int page = 2; page <= 4; ++page) fs::remove(PagePath(measured, kShortPdf, page, ".png"));
  // Room for one intermediate page and a little: the renderer's next page and the first JPEG
  // compete for it, so either may be the one the disk refuses.
  const std::string out = dir / "out";
  const SmallDisk disk(out, SpaceTaken(measured) + 4096);
  if (!disk.Mounted()) GTEST_SKIP() << disk.WhyNot();
  const ProcessResult run = RunProcess(CliArguments("JPG", "72", out, {kShortPdf}));
  EXPECT_TRUE(run.exit_status == kStatusError || run.exit_status == kStatusSomeFailed)
      << run.exit_status;
  const std::string& err = run.err;
  EXPECT_NE(err.find(BaseName(kShortPdf) + "_"), std::string::npos) << err;  // the page file
  EXPECT_NE(err.find(std::strerror(ENOSPC)), std::string::npos) << err;
  EXPECT_EQ(PageFileFaults(out), "");
}

TEST(KilledRendererTest, IsReportedAsKilledItsPagesAreConvertedAndTheRunGoesOn) {
  const TempDir dir;
  const std::string out = dir / "out";
  ChildProcess cli(CliArguments("JPG", "72", out, {kLongPdf, kShortPdf}), {});
  pid_t renderer = 0;
  // Pages may be written out of order; the page loop starts at page 1.
  ASSERT_TRUE(WaitFor([&] {
    renderer = cli.Child();
    return renderer > 0 && fs::exists(PagePath(out, kLongPdf, 1, ".png"));
  }));
  ::kill(renderer, SIGKILL);
  const ProcessResult run = cli.Wait();
  EXPECT_EQ(run.exit_status, kStatusSomeFailed);
  EXPECT_NE(run.err.find("转换失败：" + kLongPdf + "\nlib.dll was ended by signal 9 (" +
                         strsignal(SIGKILL) + ")\n"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(fs::exists(PagePath(out, kLongPdf, 1, ".jpg")));
  EXPECT_FALSE(fs::exists(PagePath(out, kLongPdf, 1, ".png")));
  for (int page = 1; page <= 4; ++page) {
    EXPECT_TRUE(fs::exists(PagePath(out, kShortPdf, page, ".jpg"))) << page;
  }
  // A renderer killed outright cannot remove the temporary it was writing.
  EXPECT_EQ(PageFileFaults(out, /*temporaries_allowed=*/true), "");
}

TEST(VanishingFolderTest, RemovedDuringTheRunEndsWithAMessageAndTouchesNothingElse) {
  const TempDir dir;
  const std::string work = dir / "work";
  const std::string out = work + "/out";
  ChildProcess cli(CliArguments("JPG", "72", out, {kLongPdf}), {});
  ASSERT_TRUE(WaitFor([&] { return AnyPageOf(out, kLongPdf, ".png"); }));
  // The renderer may add a page between listing and removing: remove until it is gone.
  ASSERT_TRUE(WaitFor([&] {
    std::error_code error;
    fs::remove_all(out, error);
    return !fs::exists(out);
  }));
  const ProcessResult run = cli.Wait();
  EXPECT_TRUE(run.exit_status == kStatusError || run.exit_status == kStatusSomeFailed)
      << run.exit_status;
  EXPECT_NE(run.err, "");
  EXPECT_TRUE(fs::is_empty(work));
}

TEST(ReadOnlyFolderTest, MadeReadOnlyDuringTheRunEndsWithAMessageAndNoHang) {
  if (::geteuid() != 0) GTEST_SKIP() << "a read-only bind mount needs root";
  const TempDir dir;
  const std::string out = dir / "out";
  fs::create_directories(out);
  // In a private mount namespace: the folder becomes a read-only bind mount of itself once the
  // renderer has written its first page (its PNG may be a JPEG already when the loop looks). 97
  // says the namespace or the mount could not be had.
  const std::string script =
      "mount --bind \"$1\" \"$1\" || exit 97\n"
      "shift; folder=$1; first=$2; converted=$3; shift 3\n"
      "\"$@\" & cli=$!\n"
      "i=0; while [ ! -e \"$first\" ] && [ ! -e \"$converted\" ] && [ $i -lt 6000 ]; do\n"
      "  sleep 0.01; i=$((i+1))\n"
      "done\n"
      "mount -o remount,ro,bind \"$folder\" \"$folder\" || { kill -9 $cli; exit 97; }\n"
      "wait $cli";
  Strings argv{"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh"};
  const Strings script_arguments{out, out, PagePath(out, kLongPdf, 1, ".png"),
                                 PagePath(out, kLongPdf, 1, ".jpg")};
  argv.insert(argv.end(), script_arguments.begin(), script_arguments.end());
  for (const auto& arg : CliArguments("JPG", "72", out, {kLongPdf})) argv.push_back(arg);
  const ProcessResult run = RunProcess(argv);
  if (run.exit_status == 97) GTEST_SKIP() << "no private read-only bind mount: " << run.err;
  EXPECT_TRUE(run.exit_status == kStatusError || run.exit_status == kStatusSomeFailed)
      << run.exit_status << run.err;
  EXPECT_NE(run.err.find(std::strerror(EROFS)), std::string::npos) << run.err;
  EXPECT_EQ(PageFileFaults(out), "");
}

// A stop request and when it comes.
struct StopCase {
  const char* name;
  int signal_number;
  const char* awaited_extension;  // the first page file of this kind starts the stop
};

const StopCase kStopCases[] = {
    {"SigtermWhileRendering", SIGTERM, ".png"},
    {"SigintWhileRendering", SIGINT, ".png"},
    {"SigtermWhileReencoding", SIGTERM, ".jpg"},
    {"SigintWhileReencoding", SIGINT, ".jpg"},
};

class StopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopTest, LeavesNoRendererNoTemporaryAndOnlyCompletePages) {
  const TempDir dir;
  const std::string out = dir / "out";
  ChildProcess cli(CliArguments("JPG", "72", out, {kShortPdf, kLongPdf}), {});
  const std::string awaited = GetParam().awaited_extension;
  ASSERT_TRUE(WaitFor([&] {
    return AnyPageOf(out, kShortPdf, awaited.c_str()) && (awaited == ".jpg" || cli.Child() > 0);
  }));
  const pid_t renderer = cli.Child();  // none while the pages are re-encoded
  ::kill(cli.Pid(), GetParam().signal_number);
  EXPECT_EQ(cli.Wait(testing::kPatience).exit_status, kStatusInterrupted);
  if (renderer > 0) {
    EXPECT_TRUE(::kill(renderer, 0) != 0 && errno == ESRCH) << "renderer " << renderer << " left";
  }
  EXPECT_EQ(PageFileFaults(out), "");
}

QUILLAMAR_TABLE_TESTS(Faults, StopTest, kStopCases);

// A page file that is not a page: put where the renderer's pages end, so the page loop meets it.
struct StrangePageCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  int exit_status;
  const char* message;  // a line standard error must hold; "" for none
};

const StrangePageCase kStrangePages[] = {
    {"NamedPipe", [](const std::string& path) { ::mkfifo(path.c_str(), 0600); }, kStatusError,
     testing::kNotAPngText},
    {"EmptyFile", [](const std::string& path) { std::ofstream{path}; }, kStatusError,
     testing::kNotAPngText},
    {"Folder", [](const std::string& path) { fs::create_directory(path); }, 0, ""},
    {"SymlinkLoop", [](const std::string& path) { fs::create_symlink(path, path); }, 0, ""},
};

class StrangePageTest : public ::testing::TestWithParam<StrangePageCase> {};

TEST_P(StrangePageTest, GivesThePagesMessageOrEndsThePagesWithoutHanging) {
  const TempDir dir;
  const std::string out = dir / "out";
  fs::create_directories(out);
  const std::string strange = PagePath(out, kShortPdf, 5, ".png");
  GetParam().make(strange);
  const ProcessResult run = RunProcess(CliArguments("JPG", "72", out, {kShortPdf}));
  EXPECT_EQ(run.exit_status, GetParam().exit_status) << run.err;
  if (*GetParam().message != '\0') {
    EXPECT_NE(run.err.find(std::string(GetParam().message) + "\n"), std::string::npos) << run.err;
  }
  for (int page = 1; page <= 4; ++page) {
    EXPECT_TRUE(fs::exists(PagePath(out, kShortPdf, page, ".jpg"))) << page;
  }
  EXPECT_TRUE(fs::symlink_status(strange).type() != fs::file_type::not_found);  // left as it was
  fs::remove(strange);
  EXPECT_EQ(PageFileFaults(out), "");
}

QUILLAMAR_TABLE_TESTS(Faults, StrangePageTest, kStrangePages);

}  // namespace
}  // namespace quillamar
