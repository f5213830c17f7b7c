// JPG batches through the run: pages re-encoded in order, failures ending the run where they occur.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>

#include "batch/batch.h"
#include "batch/recording_host.h"
#include "contract/page_channel.h"
#include "framework/exceptions.h"
#include "framework/paths.h"
#include "png/png_object.h"
#include "support/images.h"
#include "support/named_cases.h"
#include "support/temp_dir.h"

namespace quillamar {
namespace {

using testing::TempDir;
using namespace testing;  // the helpers of these tests
using Names = std::vector<std::string>;

// A front end that converts to JPG: fixed answers, messages kept, pages re-encoded for real.
using JpgHost = batch::ConvertingHost;

enum class Page { kValid, kEmpty };

// Each page its own shade, so that a JPEG shows which page it was made from.
Rgb PageColour(int number) { return {static_cast<std::uint8_t>(number * 50), 0, 0}; }

struct BatchCase {
  const char* name;
  std::vector<std::pair<int, Page>> pages;  // what the renderer writes, by page number
  Names left;                               // the output folder afterwards
  const char* error;                        // the message that ends the run, or null
};

const BatchCase kBatchCases[] = {
    {"ThreePages",
     {{1, Page::kValid}, {2, Page::kValid}, {3, Page::kValid}},
     {"a_1.jpg", "a_2.jpg", "a_3.jpg"},
     nullptr},
    {"NoFirstPage", {{2, Page::kValid}, {3, Page::kValid}}, {"a_2.png", "a_3.png"}, nullptr},
    {"GapAfterTwo",
     {{1, Page::kValid}, {2, Page::kValid}, {4, Page::kValid}},
     {"a_1.jpg", "a_2.jpg", "a_4.png"},
     nullptr},
    {"BadSecondPage",
     {{1, Page::kValid}, {2, Page::kEmpty}, {3, Page::kValid}},
     {"a_1.jpg", "a_2.png", "a_3.png"},
     kNotAPngText},
};

class JpgBatchTest : public ::testing::TestWithParam<BatchCase> {
 protected:
  TempDir dir_;
};

TEST_P(JpgBatchTest, ConvertsPagesInOrderUntilOneFails) {
  std::filesystem::create_directories(dir_ / "pages");
  for (const auto& [number, page] : GetParam().pages) {
    const std::string path = dir_ / ("pages/" + std::to_string(number) + ".png");
    WritePng(path, PngKind::kRgb, 10, 10,
             [number = number](int, int) { return PageColour(number); });
    if (page == Page::kEmpty) WriteAll(path, {});
  }
  JpgHost host(dir_ / "out", TStringList{dir_.Write("a.pdf", "")});
  batch::RunSettings settings;
  settings.renderer_path = batch::CopyingRenderer(dir_);
  settings.jobs = 3;  // several pages in flight, as the program runs them
  const std::string error = GetParam().error
                                ? MessageOf<Exception>([&] { batch::Run(host, settings); })
                                : (batch::Run(host, settings), std::string());
  EXPECT_EQ(error, GetParam().error ? GetParam().error : "");
  EXPECT_EQ(FolderEntries(dir_ / "out"), GetParam().left);
  EXPECT_TRUE(host.messages.empty());
  for (const auto& [number, page] : GetParam().pages) {
    const std::string jpg = dir_ / ("out/a_" + std::to_string(number) + ".jpg");
    if (!FileExists(jpg)) continue;
    const auto decoded = DecodeJpeg(ReadAll(jpg));
    ASSERT_TRUE(decoded) << jpg;
    EXPECT_NEAR(decoded->At(5, 5).r, PageColour(number).r, 3) << jpg;
  }
}

QUILLAMAR_TABLE_TESTS(Pages, JpgBatchTest, kBatchCases);

// The calls that put a page's JPEG in place and let go of its PNG, in the order they were made,
// each with its file or channel line. The binary is linked with --wrap for each of them.
std::mutex recorded_lock;
std::vector<std::string>* recorded = nullptr;

void Record(const char* call, const std::string& what) {
  const std::lock_guard lock(recorded_lock);
  if (recorded) recorded->push_back(std::string(call) + " " + what);
}

// A call that succeeded is recorded with the file it named (a descriptor's as /proc/self/fd/N);
// its result passes on.
int Recorded(const char* call, const std::string& path, int result) {
  std::error_code error;
  if (result == 0) Record(call, std::filesystem::weakly_canonical(path, error).string());
  return result;
}

// Whether each step has a call after the step before it (a step is met by any of its calls).
bool InOrder(const Names& calls, const std::vector<Names>& steps) {
  auto at = calls.begin();
  for (const Names& step : steps) {
    at = std::find_first_of(at, calls.end(), step.begin(), step.end());
    if (at == calls.end()) return false;
    ++at;
  }
  return true;
}

std::string Sent(contract::ChannelMessage::Kind kind, const std::string& page) {
  return "send " + contract::FormatChannelLine({kind, std::stoi(page)});
}

}  // namespace
}  // namespace quillamar

extern "C" {
int __real_rename(const char*, const char*);
int __real_unlink(const char*);
int __real_fdatasync(int);
int __real_fsync(int);
ssize_t __real_send(int, const void*, std::size_t, int);

int __wrap_rename(const char* from, const char* to) {
  return quillamar::Recorded("rename", to, __real_rename(from, to));
}
int __wrap_unlink(const char* path) {
  return quillamar::Recorded("unlink", path, __real_unlink(path));
}
int __wrap_fdatasync(int fd) {
  return quillamar::Recorded("sync", "/proc/self/fd/" + std::to_string(fd), __real_fdatasync(fd));
}
int __wrap_fsync(int fd) {
  return quillamar::Recorded("sync", "/proc/self/fd/" + std::to_string(fd), __real_fsync(fd));
}
ssize_t __wrap_send(int fd, const void* bytes, std::size_t size, int flags) {
  // Recorded when made: a renderer that has ended no longer hears it, which is no fault.
  quillamar::Record("send", std::string(static_cast<const char*>(bytes), size));
  return __real_send(fd, bytes, size, flags);
}
}

namespace quillamar {
namespace {

class JpgBatchRealRendererTest : public ::testing::TestWithParam<const char*> {};

// The pages go through the renderer's intermediate PNGs (grey ones among them for a text-only
// PDF), yet every JPEG is the one the kept PNG of the same page gives.
TEST_P(JpgBatchRealRendererTest, EveryPageBecomesTheJpegOfItsKeptPng) {
  const std::string renderer = std::string(QUILLAMAR_BIN_DIR) + "/lib.dll";
  if (::access(renderer.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << renderer;
  const std::string pdf = std::string(QUILLAMAR_TESTDATA) + "/pdfs/" + GetParam();
  const TempDir dir;
  batch::RunSettings settings;
  settings.renderer_path = renderer;
  settings.jobs = 3;
  JpgHost png_host(dir / "png", TStringList{pdf}, "PNG", "30");
  batch::Run(png_host, settings);
  JpgHost jpg_host(dir / "jpg", TStringList{pdf}, "JPG", "30");
  std::vector<std::string> calls;
  recorded = &calls;
  EXPECT_EQ(batch::Run(jpg_host, settings).outcome, batch::RunOutcome::kCompleted);
  recorded = nullptr;

  const Names pngs = FolderEntries(dir / "png");
  ASSERT_EQ(pngs.size(), 4u);
  Names expected_jpgs;
  for (const std::string& name : pngs) {
    const std::string jpg_name = WithoutExtension(name) + ".jpg";
    expected_jpgs.push_back(jpg_name);
    const auto decoded = DecodeJpeg(ReadAll(dir / ("jpg/" + jpg_name)));
    ASSERT_TRUE(decoded) << jpg_name;
    const auto size = png::PeekImageSize(dir / ("png/" + name));
    ASSERT_TRUE(size) << name;
    EXPECT_EQ(std::make_pair(unsigned(decoded->width), unsigned(decoded->height)), *size)
        << jpg_name;
    batch::ConvertPngToJpg(dir / ("png/" + name), dir / "from_kept.jpg");
    EXPECT_EQ(ReadAll(dir / ("jpg/" + jpg_name)), ReadAll(dir / "from_kept.jpg")) << jpg_name;
    // Durable before anything is let go: the JPEG in place, its bytes and its folder entry on the
    // disk, then its PNG deleted (or left to the renderer to write over), then the renderer told.
    const std::string folder = std::filesystem::canonical(dir / "jpg");
    const std::string page = WithoutExtension(name).substr(name.rfind('_') + 1);
    using Kind = contract::ChannelMessage::Kind;
    std::vector<Names> steps = {{"rename " + folder + "/" + jpg_name},
                                {"sync " + folder + "/" + jpg_name},
                                {"sync " + folder},
                                {"unlink " + folder + "/" + name, Sent(Kind::kSpare, page)},
                                {Sent(Kind::kConsumed, page)}};
    if (name == pngs.back()) steps.pop_back();  // the renderer has ended: no one to tell
    EXPECT_TRUE(InOrder(calls, steps)) << jpg_name << ": " << ::testing::PrintToString(calls);
  }
  EXPECT_EQ(FolderEntries(dir / "jpg"), expected_jpgs);  // and no PNG left
  EXPECT_TRUE(jpg_host.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Pdfs, JpgBatchRealRendererTest,
                         ::testing::Values("rotated_pages_4p.pdf", "text_latex_4p.pdf"),
                         [](const auto& info) {
                           const std::string name = info.param;
                           return name.substr(0, name.find('_'));
                         });

}  // namespace
}  // namespace quillamar
