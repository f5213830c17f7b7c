// Rows of a raster handed from the thread that completes them to a thread that reads them.
#pragma once

#include <condition_variable>
#include <mutex>

namespace quillamar {

/// The progress of one thread filling a raster from the top row down, for another thread that
/// reads the rows in the same order as soon as they are complete. A row said to be complete is
/// never written again, so the reader needs no further lock for it.
class RowGate {
 public:
  /// For a raster of `rows` rows; `slack` rows past the one awaited are let through together, so
  /// that a reader close behind the writer is not woken for every single row.
  explicit RowGate(int rows, int slack = 32) : rows_(rows), slack_(slack) {}
  RowGate(const RowGate&) = delete;
  RowGate& operator=(const RowGate&) = delete;

  /// The top `rows` rows are complete (counts below an earlier one change nothing).
  void Complete(int rows);
  /// No further row will come: a reader waiting, or coming later for a row not complete, gives up.
  void Abandon();
  /// Waits until row `row` (0 at the top) is complete: true then, false when the gate was
  /// abandoned first.
  bool WaitForRow(int row);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const int rows_;
  const int slack_;
  int complete_ = 0;
  bool abandoned_ = false;
  int wake_at_ = -1;  // the count a waiting reader wants; -1 while none waits
};

}  // namespace quillamar
