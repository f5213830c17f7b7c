// RowGate: a reader on one thread follows the rows another thread completes.
#include "framework/row_gate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

namespace quillamar {
namespace {

using namespace std::chrono_literals;

// The writer pauses now and then, so that a reader let through too early would meet rows not
// written yet.
TEST(RowGateTest, ReaderGetsEachRowOnlyOnceItIsComplete) {
  constexpr int kRows = 300;
  std::vector<int> rows(kRows, -1);
  RowGate gate(kRows, /*slack=*/7);
  std::thread writer([&] {
    for (int y = 0; y < kRows; ++y) {
      if (y % 50 == 0) std::this_thread::sleep_for(2ms);
      rows[static_cast<std::size_t>(y)] = y;
      gate.Complete(y + 1);
    }
  });
  std::vector<int> seen;
  for (int y = 0; y < kRows; ++y) {
    if (!gate.WaitForRow(y)) break;
    seen.push_back(rows[static_cast<std::size_t>(y)]);
  }
  writer.join();
  std::vector<int> expected(kRows);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(seen, expected);
}

TEST(RowGateTest, AbandoningReleasesAWaitingReaderAndKeepsTheCompleteRows) {
  RowGate gate(100);
  gate.Complete(10);
  std::future<bool> waiting = std::async(std::launch::async, [&] { return gate.WaitForRow(50); });
  EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
  gate.Abandon();
  EXPECT_FALSE(waiting.get());
  EXPECT_TRUE(gate.WaitForRow(9));
  EXPECT_FALSE(gate.WaitForRow(10));
}

}  // namespace
}  // namespace quillamar
