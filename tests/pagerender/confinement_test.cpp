// Tests of the renderer's confinement: a child process confines itself exactly as lib.dll does,
// then tries one act. Each act is first tried by an unconfined child, so that a refusal is known
// to come from the confinement and not from the machine.
#include "pagerender/confinement.h"

#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "support/named_cases.h"
#include "support/pdf_pages.h"
#include "support/process.h"

namespace quillamar::pagerender {
namespace {

using quillamar::testing::PrintTo;  // table rows print as their names
using testing::ScratchFolder;
namespace fs = std::filesystem;

// The folders and files of one test: the PDF and the output folder inside a scratch folder that
// also holds a file nobody allowed.
struct Setting {
  ScratchFolder scratch;
  fs::path output = scratch.path() / "pages";
  fs::path pdf = scratch.path() / "input 报告.pdf";
  fs::path secret = scratch.path() / "secret.txt";
  std::string font;  ///< a font file fontconfig offers
  int highest_fd = HighestOpenDescriptor();

  Setting() {
    fs::create_directory(output);
    testing::WriteFile(pdf, testing::MakePdf({{100, 100, 0, ""}}));
    testing::WriteFile(secret, "private");
    font = SansSerifFont();
  }

  Options RenderOptions() const { return Options{(output / "p_%d.png").string(), 72, pdf}; }

  static int HighestOpenDescriptor() {
    int highest = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
    }
    return highest;
  }

  static std::string SansSerifFont() {
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif"));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcChar8* file = nullptr;
    std::string path;
    if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
      path = reinterpret_cast<const char*>(file);
    }
    if (match != nullptr) FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return path;
  }
};

// What a child saw: the parts of the confinement it got and how its act ended.
struct ChildReport {
  int landlock_abi = 0;
  int system_calls = 0;
  int limits = 0;
  int act_errno = -1;  ///< 0 when the act succeeded
};

using Act = std::function<int(const Setting&)>;

ChildReport RunInChild(const Setting& setting, bool confined, const Act& act) {
  int channel[2];
  if (::pipe(channel) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(channel[0]);
    ChildReport report;
    if (confined) {
      const Confinement confinement = ConfineProcess(setting.RenderOptions(), WorkerCount());
      report.landlock_abi = confinement.landlock_abi;
      report.system_calls = confinement.system_calls;
      report.limits = confinement.limits;
    }
    report.act_errno = act(setting);
    (void)!::write(channel[1], &report, sizeof report);
    ::_exit(0);
  }
  ::close(channel[1]);
  ChildReport report;
  if (::read(channel[0], &report, sizeof report) != sizeof report) report.act_errno = -1;
  ::close(channel[0]);
  ::waitpid(pid, nullptr, 0);
  return report;
}

// errno of a failed call, 0 for a successful one.
int Outcome(bool succeeded) { return succeeded ? 0 : errno; }

int CreateFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  const bool written = ::write(fd, "page", 4) == 4;
  ::close(fd);
  return Outcome(written);
}

// Creates the file and removes it again, so that a run without confinement leaves nothing.
int CreateAndRemove(const fs::path& path) {
  const int error = CreateFile(path);
  if (error == 0) ::unlink(path.c_str());
  return error;
}

int ReadFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char byte = 0;
  const bool read = ::read(fd, &byte, 1) == 1;
  ::close(fd);
  return Outcome(read);
}

int OpenSocket(int domain) {
  const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) ::close(fd);
  return Outcome(fd >= 0);
}

int RunTrue() {
  char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ);
  if (error == 0) ::waitpid(pid, nullptr, 0);
  return error;
}

std::string Unique(const std::string& stem) { return stem + std::to_string(::getpid()); }

// Allocates (without touching) bytes; ENOMEM when the address space does not have room.
int Reserve(long long bytes) {
  void* memory = std::malloc(static_cast<std::size_t>(bytes));
  std::free(memory);
  return memory != nullptr ? 0 : ENOMEM;
}

// Opens descriptors until count more are open or the limit refuses one.
int OpenDescriptors(long long count) {
  std::vector<int> opened;
  int error = 0;
  while (static_cast<long long>(opened.size()) < count && error == 0) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) error = errno;
    if (fd >= 0) opened.push_back(fd);
  }
  for (const int fd : opened) ::close(fd);
  return error;
}

// More than the address space in use when the confinement began.
constexpr long long kSlack = 256LL << 20;

long long AllowedAddressSpace() {
  return WorkerCount() * kMaxPagePixels * kAddressSpacePerPagePixel;
}

// The part of the confinement that refuses an act.
enum class Part { kFiles, kSystemCalls, kLimits, kTracing, kAddressSpace };

struct ActCase {
  const char* name;
  Part part;
  Act act;
  std::set<int> refused_with;  ///< empty: the act is allowed
};

const ActCase kActCases[] = {
    // forbidden
    {"ReadFileOutside",
     Part::kFiles,
     [](const Setting& s) { return ReadFile(s.secret); },
     {EACCES}},
    {"WriteBesideOutputFolder",
     Part::kFiles,
     [](const Setting& s) { return CreateAndRemove(s.scratch.path() / "beside.png"); },
     {EACCES}},
    {"WriteInHomeFolder",
     Part::kFiles,
     [](const Setting&) {
       const char* home = std::getenv("HOME");
       return CreateAndRemove(fs::path(home != nullptr ? home : "/root") /
                              Unique(".quillamar-confinement-probe-"));
     },
     {EACCES}},
    {"WriteInTmp",
     Part::kFiles,
     [](const Setting&) {
       return CreateAndRemove(fs::path("/tmp") / Unique("quillamar-confinement-probe-"));
     },
     {EACCES}},
    {"RenamePageOutOfFolder",
     Part::kFiles,
     [](const Setting& s) {
       const fs::path page = s.output / "p_1.png";
       const fs::path outside = s.scratch.path() / "p_1.png";
       if (const int error = CreateFile(page); error != 0) return error;
       const int error = Outcome(::rename(page.c_str(), outside.c_str()) == 0);
       ::unlink(error == 0 ? outside.c_str() : page.c_str());
       return error;
     },
     {EACCES, EXDEV}},
    {"OpenTcpSocket",
     Part::kSystemCalls,
     [](const Setting&) { return OpenSocket(AF_INET); },
     {EPERM}},
    {"OpenUnixSocket",
     Part::kSystemCalls,
     [](const Setting&) { return OpenSocket(AF_UNIX); },
     {EPERM}},
    {"RunProgram", Part::kSystemCalls, [](const Setting&) { return RunTrue(); }, {EPERM}},
    {"TraceParent",
     Part::kTracing,
     [](const Setting&) { return Outcome(::ptrace(PTRACE_SEIZE, ::getppid(), 0, 0) == 0); },
     {EPERM}},
    {"ReserveMoreThanAllowed",
     Part::kAddressSpace,
     [](const Setting&) { return Reserve(AllowedAddressSpace() + kSlack); },
     {ENOMEM}},
    {"OpenMoreFilesThanAllowed",
     Part::kLimits,
     [](const Setting& s) {
       // The limit counts descriptor numbers, and new descriptors fill the gaps below the
       // highest one inherited (the child's channel adds two).
       return OpenDescriptors(s.highest_fd + 2 + WorkerCount() * kOpenFilesPerWorker + 16);
     },
     {EMFILE}},
    // allowed
    {"WriteAndRenamePageInFolder",
     Part::kFiles,
     [](const Setting& s) {
       const fs::path temporary = s.output / ".page.tmp";
       if (const int error = CreateFile(temporary); error != 0) return error;
       return Outcome(::rename(temporary.c_str(), (s.output / "p_1.png").c_str()) == 0);
     },
     {}},
    {"ReadPdf", Part::kFiles, [](const Setting& s) { return ReadFile(s.pdf); }, {}},
    {"ReadFont", Part::kFiles, [](const Setting& s) { return ReadFile(s.font); }, {}},
    {"ReserveOnePageRaster",
     Part::kAddressSpace,
     [](const Setting&) { return Reserve(kMaxPagePixels * 4); },
     {}},
};

class ConfinementTest : public ::testing::TestWithParam<ActCase> {};

TEST_P(ConfinementTest, RefusesForbiddenAndAllowsNeededActs) {
  const ActCase& c = GetParam();
  const Setting setting;
  ASSERT_FALSE(setting.font.empty()) << "fontconfig offers no sans-serif font";
  const ChildReport free = RunInChild(setting, false, c.act);
  if (free.act_errno != 0) GTEST_SKIP() << "this machine refuses the act even unconfined";
  const ChildReport confined = RunInChild(setting, true, c.act);
  ASSERT_NE(confined.act_errno, -1) << "the confined child died";
  if (c.part == Part::kFiles && confined.landlock_abi == 0) {
    GTEST_SKIP() << "the kernel has no Landlock";
  }
  if (c.part == Part::kSystemCalls || c.part == Part::kTracing) {
    if (!confined.system_calls) GTEST_SKIP() << "the kernel has no seccomp filter";
  }
  if (c.refused_with.empty()) {
    EXPECT_EQ(confined.act_errno, 0) << std::strerror(confined.act_errno);
  } else {
    EXPECT_TRUE(c.refused_with.count(confined.act_errno))
        << (confined.act_errno == 0 ? "allowed" : std::strerror(confined.act_errno));
  }
}

// Sanitizer builds keep tracing and an unlimited address space: those rows hold only without them.
std::vector<ActCase> ActsOfThisBuild() {
  std::vector<ActCase> acts(std::begin(kActCases), std::end(kActCases));
#if defined(QUILLAMAR_SANITIZER_BUILD)
  std::erase_if(acts, [](const ActCase& c) {
    return c.part == Part::kTracing || c.part == Part::kAddressSpace;
  });
#endif
  return acts;
}

QUILLAMAR_TABLE_TESTS(Confinement, ConfinementTest, ActsOfThisBuild());

class ConfinedRendererTest : public ::testing::TestWithParam<const char*> {};

// The confined lib.dll finds the fonts a PDF does not embed: its pages equal the unconfined ones,
// and with MuPDF, MuPDF drew them (poppler, taking over, would draw them alike).
TEST_P(ConfinedRendererTest, DrawsSystemFontsAsUnconfined) {
  const ScratchFolder folder;
  const fs::path pdf = folder.path() / "文字 text.pdf";
  testing::WriteFile(pdf, testing::MakePdf({{200, 60, 0, testing::ShowText(10, 20, 24, "Hg 12")}}));
  std::map<std::string, fs::path> pages;
  for (const char* unconfined : {"0", "1"}) {
    const fs::path out = folder.path() / (std::string("out ") + unconfined);
    fs::create_directory(out);
    const auto result =
        testing::RunProcess({testing::RendererPath(), "-o", (out / "p_%d.png").string(), "-F",
                             "png", "-r", "72", pdf.string()},
                            {{contract::kUnconfinedEnv, unconfined},
                             {contract::kVerboseEnv, "1"},
                             {contract::kEngineEnv, GetParam()}});
    ASSERT_EQ(result.exit_status, testing::kRendererSucceeded) << result.err;
    EXPECT_EQ(result.err.find("rendered by poppler"), std::string::npos) << result.err;
    pages[unconfined] = out / "p_1.png";
  }
  const testing::PngPage confined = testing::ReadPng(pages["0"]);
  ASSERT_EQ(confined.error, "");
  EXPECT_EQ(testing::FirstDifference(confined, testing::ReadPng(pages["1"])), "");
  int dark = 0;
  for (int x = 0; x < confined.width; ++x) dark += confined.Pixel(x, 60 - 20 - 5) < 0x808080;
  EXPECT_GT(dark, 0) << "no text drawn";
}

INSTANTIATE_TEST_SUITE_P(BothEngines, ConfinedRendererTest,
                         ::testing::Values(contract::kEnginePoppler, contract::kEngineMupdf),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace quillamar::pagerender
