// The bounded row queue between the PNG decoding and a JPEG encoding on a second thread.
#include "batch/row_queue.h"

#include <array>
#include <cstring>
#include <utility>

namespace quillamar::batch {

RowQueue::RowQueue(std::size_t row_bytes, Take take)
    : row_bytes_(row_bytes), take_(std::move(take)), buffer_(kRows * row_bytes) {
  taker_ = std::thread([this] { TakeRows(); });
}

RowQueue::~RowQueue() { End(/*drop=*/true); }

void RowQueue::Put(const std::uint8_t* row) {
  std::unique_lock lock(mutex_);
  if (put_ - taken_ == kRows) {
    putter_waits_ = true;
    changed_.wait(lock, [this] { return RoomForPut(); });
    putter_waits_ = false;
  }
  if (failure_) RethrowFailure();
  lock.unlock();  // the taker reads only the rows before put_
  std::memcpy(At(put_), row, row_bytes_);
  lock.lock();
  ++put_;
  if (taker_waits_ && put_ - taken_ >= kRows / 2) changed_.notify_all();
}

void RowQueue::Finish() {
  End(/*drop=*/false);
  if (failure_) RethrowFailure();
}

void RowQueue::RethrowFailure() { std::rethrow_exception(failure_); }

void RowQueue::End(bool drop) {
  {
    const std::lock_guard lock(mutex_);
    ended_ = true;
    dropped_ = drop;
    changed_.notify_all();
  }
  if (taker_.joinable()) taker_.join();
}

void RowQueue::TakeRows() {
  std::array<const std::uint8_t*, kRows> batch{};
  std::unique_lock lock(mutex_);
  for (;;) {
    if (put_ - taken_ < kRows / 2 && !ended_) {
      taker_waits_ = true;
      changed_.wait(lock, [this] { return put_ - taken_ >= kRows / 2 || ended_; });
      taker_waits_ = false;
    }
    if (dropped_ || put_ == taken_) return;
    const std::size_t count = put_ - taken_;
    for (std::size_t k = 0; k < count; ++k) batch[k] = At(taken_ + k);
    lock.unlock();
    try {
      take_(batch.data(), static_cast<int>(count));
    } catch (...) {
      lock.lock();
      failure_ = std::current_exception();
      changed_.notify_all();
      return;
    }
    lock.lock();
    taken_ += count;
    if (putter_waits_ && RoomForPut()) changed_.notify_all();
  }
}

}  // namespace quillamar::batch
