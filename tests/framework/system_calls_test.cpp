// The whole-buffer transfers at a descriptor that takes or gives only part, and the CPU count
// under a narrowed affinity.
#include "framework/system_calls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "framework/descriptors.h"

namespace quillamar {
namespace {

// A pipe's two ends, owned; with O_NONBLOCK a transfer beyond what it holds stops with EAGAIN.
struct Pipe {
  explicit Pipe(int flags = 0) {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::pipe2(fds, flags | O_CLOEXEC), 0);
    read.Reset(fds[0]);
    write.Reset(fds[1]);
  }
  FileDescriptor read, write;
};

// The first call moves only part; the loop must go on and report the error of the second.
TEST(SystemCallsTest, WriteAllAndReadAllGoOnAfterAShortTransferAndStopAtTheError) {
  const Pipe pipe(O_NONBLOCK);
  const int capacity = ::fcntl(pipe.write.Get(), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  std::string bytes(static_cast<std::size_t>(capacity) + 100, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);

  errno = 0;
  EXPECT_EQ(WriteAll(pipe.write.Get(), bytes.data(), bytes.size()),
            static_cast<std::size_t>(capacity));
  EXPECT_EQ(errno, EAGAIN);

  std::string read_back(bytes.size(), '\0');
  errno = 0;
  const std::size_t got = ReadAll(pipe.read.Get(), read_back.data(), read_back.size());
  EXPECT_EQ(got, static_cast<std::size_t>(capacity));
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(read_back.substr(0, got), bytes.substr(0, static_cast<std::size_t>(capacity)));
}

TEST(SystemCallsTest, ReadAllStopsAtTheEnd) {
  Pipe pipe;
  ASSERT_EQ(WriteAll(pipe.write.Get(), "abc", 3), 3u);
  pipe.write.Reset();
  char buffer[8] = {};
  EXPECT_EQ(ReadAll(pipe.read.Get(), buffer, sizeof buffer), 3u);
  EXPECT_EQ(std::string(buffer), "abc");
}

// Containers narrow the affinity, not the machine's processor count.
TEST(SystemCallsTest, UsableCpuCountFollowsTheAffinity) {
  cpu_set_t all;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  const int narrowed = UsableCpuCount();
  ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(narrowed, 1);
}

}  // namespace
}  // namespace quillamar
