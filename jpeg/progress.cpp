// Progress pacing for libjpeg's monitor calls.
#include "jpeg/progress.h"

#include <atomic>
#include <chrono>

namespace quillamar::jpeg {
namespace {

constexpr std::int64_t kReportInterval = 500;

std::int64_t MonotonicMilliseconds() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

std::atomic<MillisecondClock> progress_clock{MonotonicMilliseconds};

}  // namespace

int NextProgressPercent(ProgressPacing& pacing, std::int64_t now_ms, const PassState& state) {
  if (now_ms - pacing.last_tick_ms < kReportInterval) return -1;
  const std::int64_t previous = pacing.last_tick_ms;
  pacing.last_tick_ms = now_ms;
  if (previous == 0) return -1;
  if (state.pass_limit <= 0 || state.total_passes <= 0) return -1;
  const double done =
      static_cast<double>(state.pass_counter) / state.pass_limit + state.completed_passes;
  const double percent = done * 100.0 / state.total_passes;
  if (!(percent >= 0.0 && percent <= 100.0)) return -1;
  const int whole = static_cast<int>(percent);
  if (whole == pacing.last_percent) return -1;
  pacing.last_percent = whole;
  return whole;
}

std::int64_t ProgressNow() { return progress_clock.load()(); }

MillisecondClock SetProgressClock(MillisecondClock clock) {
  return progress_clock.exchange(clock != nullptr ? clock : MonotonicMilliseconds);
}

}  // namespace quillamar::jpeg
