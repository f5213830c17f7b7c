// The row hand-over between a filling and a reading thread.
#include "framework/row_gate.h"

#include <algorithm>

namespace quillamar {

void RowGate::Complete(int rows) {
  const std::lock_guard lock(mutex_);
  if (rows <= complete_) return;
  complete_ = std::min(rows, rows_);
  if (wake_at_ >= 0 && complete_ >= wake_at_) changed_.notify_one();
}

void RowGate::Abandon() {
  const std::lock_guard lock(mutex_);
  abandoned_ = true;
  changed_.notify_all();
}

bool RowGate::WaitForRow(int row) {
  std::unique_lock lock(mutex_);
  if (row < complete_) return true;
  if (abandoned_) return false;
  wake_at_ = std::min(row + 1 + slack_, rows_);
  changed_.wait(lock, [&] { return abandoned_ || complete_ >= wake_at_; });
  wake_at_ = -1;
  return row < complete_;
}

}  // namespace quillamar
