// The pacing of progress reports during an encoding.
#include "jpeg/progress.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/named_cases.h"

namespace quillamar::jpeg {
namespace {

struct Call {
  std::int64_t now_ms;
  PassState state;
  int expected;
};

struct PacingCase {
  const char* name;
  std::vector<Call> calls;
};

const PacingCase kPacingCases[] = {
    {"FirstCallOnlyStartsTheClock", {{1000, {50, 100, 0, 1}, -1}, {1500, {50, 100, 0, 1}, 50}}},
    {"HalfSecondBetweenReports",
     {{1000, {0, 100, 0, 1}, -1},
      {1499, {10, 100, 0, 1}, -1},
      {1500, {20, 100, 0, 1}, 20},
      {1999, {30, 100, 0, 1}, -1},
      {2000, {40, 100, 0, 1}, 40}}},
    {"UnchangedPercentNotRepeated",
     {{1000, {0, 100, 0, 1}, -1},
      {1500, {25, 100, 0, 1}, 25},
      {2000, {25, 100, 0, 1}, -1},
      {2500, {26, 100, 0, 1}, 26}}},
    {"CompletedPassesCount",
     {{1000, {0, 8, 0, 4}, -1}, {1600, {4, 8, 2, 4}, 62}, {2200, {8, 8, 3, 4}, 100}}},
    {"ZeroStaysUnreported", {{1000, {0, 100, 0, 2}, -1}, {1500, {1, 100, 0, 2}, -1}}},
    {"NoLimitNoReport", {{1000, {0, 0, 0, 1}, -1}, {1500, {5, 0, 0, 1}, -1}}},
    {"NoPassesNoReport", {{1000, {0, 10, 0, 0}, -1}, {1500, {5, 10, 0, 0}, -1}}},
};

class ProgressPacingTest : public ::testing::TestWithParam<PacingCase> {};

TEST_P(ProgressPacingTest, ReportsOnlyWhenDue) {
  ProgressPacing pacing;
  int index = 0;
  for (const Call& call : GetParam().calls) {
    EXPECT_EQ(NextProgressPercent(pacing, call.now_ms, call.state), call.expected)
        << "call " << index;
    ++index;
  }
}

QUILLAMAR_TABLE_TESTS(Sequences, ProgressPacingTest, kPacingCases);

}  // namespace
}  // namespace quillamar::jpeg
