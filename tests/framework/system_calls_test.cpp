// The whole-buffer transfers at a descriptor that takes or gives only part, and the CPU count
// under a narrowed affinity.
#include "framework/system_calls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quillamar {
namespace {

// A pipe whose ends never block: a transfer beyond what it holds stops with EAGAIN.
class NonBlockingPipe {
 public:
  NonBlockingPipe() { EXPECT_EQ(::pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0); }
  ~NonBlockingPipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  NonBlockingPipe(const NonBlockingPipe&) = delete;
  NonBlockingPipe& operator=(const NonBlockingPipe&) = delete;

  int Read() const { return fds_[0]; }
  int Write() const { return fds_[1]; }

 private:
  int fds_[2] = {-1, -1};
};

// The first call moves only part; the loop must go on and report the error of the second.
TEST(SystemCallsTest, WriteAllAndReadAllGoOnAfterAShortTransferAndStopAtTheError) {
  const NonBlockingPipe pipe;
  const int capacity = ::fcntl(pipe.Write(), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  std::string bytes(static_cast<std::size_t>(capacity) + 100, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);

  errno = 0;
  EXPECT_EQ(WriteAll(pipe.Write(), bytes.data(), bytes.size()), static_cast<std::size_t>(capacity));
  EXPECT_EQ(errno, EAGAIN);

  std::string read_back(bytes.size(), '\0');
  errno = 0;
  const std::size_t got = ReadAll(pipe.Read(), read_back.data(), read_back.size());
  EXPECT_EQ(got, static_cast<std::size_t>(capacity));
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(read_back.substr(0, got), bytes.substr(0, static_cast<std::size_t>(capacity)));
}

TEST(SystemCallsTest, ReadAllStopsAtTheEnd) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(WriteAll(fds[1], "abc", 3), 3u);
  ::close(fds[1]);
  char buffer[8] = {};
  EXPECT_EQ(ReadAll(fds[0], buffer, sizeof buffer), 3u);
  EXPECT_EQ(std::string(buffer), "abc");
  ::close(fds[0]);
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
