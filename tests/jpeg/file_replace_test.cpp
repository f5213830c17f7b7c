// Whole-file saving: a file appears complete or not at all, and failures leave the older file.
#include "jpeg/file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "framework/exceptions.h"
#include "framework/paths.h"
#include "framework/streams.h"
#include "jpeg/jpeg.h"
#include "support/images.h"
#include "support/named_cases.h"
#include "support/temp_dir.h"

namespace quillamar {
namespace {

using testing::FolderEntries;
using testing::MessageOf;
using testing::ReadAll;
using ScratchFolder = testing::TempDir;
using testing::WriteAll;
using Bytes = std::vector<std::uint8_t>;

const Bytes kOlder{'o', 'l', 'd'};

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return bytes;
}

std::string CannotCreate(const std::string& path, int error) {
  return "Cannot create file \"" + AbsolutePath(path) + "\". " + std::strerror(error);
}

// The older page.jpg is still there as it was, and nothing else is.
void ExpectOlderFileOnly(const ScratchFolder& folder) {
  EXPECT_EQ(ReadAll(folder / "page.jpg"), kOlder);
  EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"page.jpg"});
}

// The message of the EFCreateError that saving a few bytes as the target raises.
std::string CreateErrorOf(const std::string& target) {
  const Bytes bytes = Pattern(100);
  return MessageOf<EFCreateError>([&] { jpeg::ReplaceFile(target, bytes.data(), bytes.size()); });
}

// Where a save lands and what it leaves: the bytes under the name (through a link, from a name
// relative to the current folder), the older file's permissions, and nothing else in the folder.
TEST(ReplaceFileTest, WritesTheBytesUnderTheNameAndLeavesNothingElse) {
  const ScratchFolder folder;
  std::filesystem::create_directory(folder / "store");
  WriteAll(folder / "store/linked.jpg", kOlder);
  std::filesystem::create_symlink(folder / "store/linked.jpg", folder / "linked.jpg");
  WriteAll(folder / "older.jpg", kOlder);
  ::chmod((folder / "older.jpg").c_str(), 0640);
  const std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(folder.path());
  for (const auto& [name, size] :
       std::vector<std::pair<std::string, std::size_t>>{{"new.jpg", 10000},
                                                        {"new.jpg", 5},
                                                        {"older.jpg", 10},
                                                        {"linked.jpg", 10},
                                                        {"empty.jpg", 0},
                                                        {folder / "absolute.jpg", 3}}) {
    const Bytes bytes = Pattern(size);
    jpeg::ReplaceFile(name, size ? bytes.data() : nullptr, size);
    EXPECT_EQ(ReadAll(name), bytes) << name;
  }
  std::filesystem::current_path(previous);
  struct stat info {};
  ASSERT_EQ(::stat((folder / "older.jpg").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "linked.jpg"));
  EXPECT_EQ(FolderEntries(folder.path()),
            (std::vector<std::string>{"absolute.jpg", "empty.jpg", "linked.jpg", "new.jpg",
                                      "older.jpg", "store"}));
  EXPECT_EQ(FolderEntries(folder / "store"), std::vector<std::string>{"linked.jpg"});
}

// Each way the target cannot be created, with the error the message must carry.
struct CreateFailure {
  const char* name;
  void (*prepare)(const std::string& target);
  const char* target_name;
  int error;
};

const CreateFailure kCreateFailures[] = {
    {"MissingFolder", [](const std::string&) {}, "missing/page.jpg", ENOENT},
    {"TargetIsAFolder", [](const std::string& target) { ::mkdir(target.c_str(), 0777); },
     "page.jpg", EISDIR},
};

class ReplaceFileFailureTest : public ::testing::TestWithParam<CreateFailure> {};

TEST_P(ReplaceFileFailureTest, RaisesCreateErrorNamingTheTarget) {
  const ScratchFolder folder;
  const std::string target = folder / GetParam().target_name;
  GetParam().prepare(target);
  const auto before = FolderEntries(folder.path());
  EXPECT_EQ(CreateErrorOf(target), CannotCreate(target, GetParam().error));
  EXPECT_EQ(FolderEntries(folder.path()), before);
}

QUILLAMAR_TABLE_TESTS(Targets, ReplaceFileFailureTest, kCreateFailures);

TEST(ReplaceFileTest, TargetHeldByAReaderIsNotReplaced) {
  const ScratchFolder folder;
  const std::string target = folder / "page.jpg";
  WriteAll(target, kOlder);
  const TFileStream reader(target, FileMode::kOpenReadDenyWrite);
  EXPECT_EQ(CreateErrorOf(target), CannotCreate(target, EWOULDBLOCK));
  ExpectOlderFileOnly(folder);
}

// Runs the check in a child process without the super-user's rights, which folder permissions
// would not bind; returns the check's result.
bool WithoutSuperUserRights(const std::function<bool()>& check) {
  if (::geteuid() != 0) return check();
  const pid_t child = ::fork();
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    const bool ok = ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && check();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST(ReplaceFileTest, ReadOnlyFolderKeepsTheOlderFile) {
  const ScratchFolder folder;
  const std::string target = folder / "page.jpg";
  WriteAll(target, kOlder);
  ::chmod(target.c_str(), 0666);  // only the folder refuses
  ::chmod(folder.path().c_str(), 0555);
  const bool refused = WithoutSuperUserRights(
      [&target] { return CreateErrorOf(target) == CannotCreate(target, EACCES); });
  ::chmod(folder.path().c_str(), 0755);
  EXPECT_TRUE(refused) << "no EFCreateError with the target's name and EACCES";
  ExpectOlderFileOnly(folder);
}

// Passes the first limit bytes on to the file and takes no more; optionally raises instead.
class FailingStream : public TStream {
 public:
  FailingStream(TStream& file, std::int64_t limit, bool raise)
      : file_(file), limit_(limit), raise_(raise) {}
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    const std::int64_t taken = std::max<std::int64_t>(0, std::min(count, limit_ - written_));
    written_ += file_.Write(buffer, taken);
    if (raise_ && taken < count) throw EInOutError("device gone");
    return taken;
  }
  std::int64_t Seek(std::int64_t, SeekOrigin) override { return written_; }

 private:
  TStream& file_;
  std::int64_t limit_;
  bool raise_;
  std::int64_t written_ = 0;
};

struct ShortWrite {
  const char* name;
  std::int64_t limit;
  bool raise;
};

class ReplaceFileShortWriteTest : public ::testing::TestWithParam<ShortWrite> {};

TEST_P(ReplaceFileShortWriteTest, LeavesTheOlderFileAndNoTemporary) {
  const ScratchFolder folder;
  const std::string target = folder / "page.jpg";
  WriteAll(target, kOlder);
  const Bytes bytes = Pattern(10000);
  const ShortWrite param = GetParam();
  const jpeg::StreamWrapper wrap = [param](TStream& file) {
    return std::make_unique<FailingStream>(file, param.limit, param.raise);
  };
  if (param.raise) {
    EXPECT_THROW(jpeg::ReplaceFile(target, bytes.data(), bytes.size(), wrap), EInOutError);
  } else {
    EXPECT_THROW(jpeg::ReplaceFile(target, bytes.data(), bytes.size(), wrap), EWriteError);
  }
  ExpectOlderFileOnly(folder);
}

const ShortWrite kShortWrites[] = {{"Nothing", 0, false},
                                   {"OneByte", 1, false},
                                   {"AllButOne", 9999, false},
                                   {"RaisedMidway", 4096, true}};

QUILLAMAR_TABLE_TESTS(Cuts, ReplaceFileShortWriteTest, kShortWrites);

// An image of an 8 x 8 bitmap and an older file under the name it is saved as.
class JpegSaveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteAll(target_, kOlder);
    bitmap_.SetSize(8, 8);
    image_.Assign(bitmap_);
  }
  ScratchFolder folder_;
  std::string target_ = folder_ / "page.jpg";
  TBitmap bitmap_;
  TJPEGImage image_;
};

TEST_F(JpegSaveFileTest, SavesTheEncodedBytes) {
  image_.SaveFile(target_);
  TMemoryStream stream;
  image_.WriteImage(stream);
  EXPECT_EQ(ReadAll(target_), Bytes(stream.Memory(), stream.Memory() + stream.Size()));
}

// An abandoned encoding raises EAbort here (a stream gets no bytes and no error).
TEST_F(JpegSaveFileTest, FailedOrAbandonedEncodingLeavesTheOlderFile) {
  image_.OnProgress = [](const TGraphic&, TProgressStage, int, bool, const TRect&,
                         const std::string&) { throw EAbort("stop"); };
  EXPECT_THROW(image_.SaveFile(target_), EAbort);
  ExpectOlderFileOnly(folder_);
  image_.OnProgress = nullptr;
  bitmap_.SetSize(70000, 1);
  image_.Assign(bitmap_);
  EXPECT_THROW(image_.SaveFile(target_), EJPEG);
  ExpectOlderFileOnly(folder_);
}

}  // namespace
}  // namespace quillamar
