// The pacing of progress reports while libjpeg works: at most one every half second, only on
// change.
#pragma once

#include <cstdint>

namespace quillamar::jpeg {

/// What the pacing keeps between two calls; starts zeroed.
struct ProgressPacing {
  std::int64_t last_tick_ms = 0;
  int last_percent = 0;
};

/// Where libjpeg stands: the counters of its progress record.
struct PassState {
  long pass_counter = 0;
  long pass_limit = 0;
  int completed_passes = 0;
  int total_passes = 0;
};

/// The percentage to report for a call at now_ms, or -1 when this call reports nothing: less
/// than 500 ms after the last recorded call, the very first call (it only starts the clock), an
/// unchanged percentage, or counters that give no percentage.
int NextProgressPercent(ProgressPacing& pacing, std::int64_t now_ms, const PassState& state);

/// A clock in milliseconds that only moves forward.
using MillisecondClock = std::int64_t (*)();

/// The time the progress relay goes by: the system's monotonic clock unless replaced.
std::int64_t ProgressNow();

/// Replaces the relay's clock (null restores the system's) and returns the one it replaced.
/// Tests use it to make a report due at every call; set it only while no encoding runs.
MillisecondClock SetProgressClock(MillisecondClock clock);

}  // namespace quillamar::jpeg
