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

/// A millisecond clock that only moves forward.
std::int64_t MonotonicMilliseconds();

}  // namespace quillamar::jpeg
