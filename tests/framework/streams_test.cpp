// File and memory streams, their error messages and the advisory sharing of files.
#include "framework/streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "framework/exceptions.h"
#include "support/images.h"
#include "support/temp_dir.h"

namespace quillamar {
namespace {

// Opening a missing file and creating one in a missing folder: the class, the absolute path
// and the reason.
TEST(FileStreamTest, OpenAndCreateFailuresNameTheAbsolutePathAndTheReason) {
  testing::TempDir dir;
  const std::string missing = dir / "missing.png";
  const std::string target = dir / "no/such/folder/x.jpg";
  EXPECT_EQ(testing::MessageOf<EFOpenError>(
                [&] { TFileStream stream(missing, FileMode::kOpenReadDenyWrite); }),
            "Cannot open file \"" + missing + "\". " + std::strerror(ENOENT));
  EXPECT_EQ(
      testing::MessageOf<EFCreateError>([&] { TFileStream stream(target, FileMode::kCreate); }),
      "Cannot create file \"" + target + "\". " + std::strerror(ENOENT));
  EXPECT_THROW(TFileStream(dir.path(), FileMode::kOpenReadDenyWrite), EFOpenError);  // a folder
}

TEST(FileStreamTest, CreateEmptiesAndWritesReadBack) {
  testing::TempDir dir;
  const std::string path = dir.Write("data.bin", "old content that is longer");
  {
    TFileStream out(path, FileMode::kCreate);
    out.WriteBuffer("new", 3);
  }
  TFileStream in(path, FileMode::kOpenReadDenyWrite);
  EXPECT_EQ(in.Size(), 3);
  char buffer[8] = {};
  EXPECT_EQ(in.Read(buffer, sizeof buffer), 3);  // asks for more than there is
  EXPECT_STREQ(buffer, "new");
  EXPECT_EQ(in.Read(buffer, 1), 0);
}

TEST(FileStreamTest, AFileHeldForWritingCannotBeOpenedForReading) {
  testing::TempDir dir;
  const std::string path = dir.Write("held.png", "x");
  {
    TFileStream writer(path, FileMode::kCreate);
    EXPECT_THROW(TFileStream(path, FileMode::kOpenReadDenyWrite), EFOpenError);
  }
  TFileStream reader(path, FileMode::kOpenReadDenyWrite);
  TFileStream other_reader(path, FileMode::kOpenReadDenyWrite);  // readers share
  EXPECT_THROW(TFileStream(path, FileMode::kCreate), EFCreateError);
}

// A named pipe without a writer would block a plain open for good, and a pipe cannot seek: the
// stream opens at once, reads nothing and raises instead of looking for a position it has not.
TEST(FileStreamTest, ANamedPipeOpensAtOnceReadsNothingAndCannotSeek) {
  testing::TempDir dir;
  const std::string pipe = dir / "a_1.png";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  TFileStream stream(pipe, FileMode::kOpenReadDenyWrite);
  char buffer[8];
  EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0);
  EXPECT_THROW(stream.Seek(4, SeekOrigin::kCurrent), EReadError);
  EXPECT_THROW(stream.Size(), EReadError);
}

TEST(FileDescriptorTest, ClosesOnceWhenItGoesAndNotWhenReleased) {
  testing::TempDir dir;
  const std::string path = dir.Write("x", "x");
  int kept = -1;
  int closed = -1;
  {
    FileDescriptor owner(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    FileDescriptor moved(std::move(owner));
    closed = moved.Get();
    EXPECT_FALSE(owner.Valid());
    FileDescriptor released(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    kept = released.Release();
  }
  EXPECT_EQ(::fcntl(closed, F_GETFD), -1);
  EXPECT_NE(::fcntl(kept, F_GETFD), -1);
  ::close(kept);
}

TEST(StreamTest, ReadBufferAndWriteBufferInsistOnTheWholeCount) {
  TMemoryStream stream;
  stream.WriteBuffer("abc", 3);
  stream.SetPosition(1);
  char buffer[4] = {};
  EXPECT_THROW(stream.ReadBuffer(buffer, 4), EReadError);
  stream.SetPosition(0);
  EXPECT_EQ(testing::MessageOf<EReadError>([&] { stream.ReadBuffer(buffer, 5); }),
            "Stream read error");
}

TEST(MemoryStreamTest, GrowsKeepsBytesAndSeeks) {
  TMemoryStream stream;
  std::string big(100000, 'q');
  for (int i = 0; i < 5; ++i) EXPECT_EQ(stream.Write(big.data(), 100000), 100000);
  EXPECT_EQ(stream.Size(), 500000);
  EXPECT_EQ(stream.Position(), 500000);
  EXPECT_EQ(stream.Seek(-2, SeekOrigin::kEnd), 499998);
  stream.WriteBuffer("zz!", 3);
  EXPECT_EQ(stream.Size(), 500001);
  EXPECT_EQ(stream.Memory()[499999], 'z');
  EXPECT_EQ(stream.Memory()[500000], '!');
  EXPECT_EQ(stream.Memory()[0], 'q');
  stream.SetSize(10);
  EXPECT_EQ(stream.Position(), 10);
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Seek(-5, SeekOrigin::kCurrent), 0);
}

}  // namespace
}  // namespace quillamar
