// Rows handed from the thread that makes them to a thread that takes them, through a few rows of
// buffer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillamar::batch {

/// A bounded queue of equal-sized rows with its own taking thread. Each side waits for half the
/// buffer at a time, so neither is woken for every row; the taker gets the rows in batches.
class RowQueue {
 public:
  /// Called on the taking thread with the next count rows, in the order they were put.
  using Take = std::function<void(const std::uint8_t* const* rows, int count)>;

  /// Starts the taking thread for rows of row_bytes bytes.
  RowQueue(std::size_t row_bytes, Take take);
  /// Rows not taken yet are dropped; the thread is joined.
  ~RowQueue();
  RowQueue(const RowQueue&) = delete;
  RowQueue& operator=(const RowQueue&) = delete;

  /// Copies the row in, waiting while the buffer is full. Raises what the taker raised once it
  /// has failed (it then takes nothing more).
  void Put(const std::uint8_t* row);
  /// Waits until every row put is taken; raises what the taker raised.
  void Finish();

 private:
  static constexpr std::size_t kRows = 64;

  std::uint8_t* At(std::size_t row) { return buffer_.data() + row % kRows * row_bytes_; }
  bool RoomForPut() const { return put_ - taken_ <= kRows / 2 || failure_; }
  void End(bool drop);
  [[noreturn]] void RethrowFailure();
  void TakeRows();

  const std::size_t row_bytes_;
  const Take take_;
  std::vector<std::uint8_t> buffer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t put_ = 0;
  std::size_t taken_ = 0;
  bool putter_waits_ = false;
  bool taker_waits_ = false;
  bool ended_ = false;
  bool dropped_ = false;
  std::exception_ptr failure_;
  std::thread taker_;  // last: started once everything it uses is there
};

}  // namespace quillamar::batch
