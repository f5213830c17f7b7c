// Pages prepared ahead within the jobs and the memory budget.
#include "batch/prepare_queue.h"

#include <chrono>

namespace quillamar::batch {

PrepareQueue::PrepareQueue(std::size_t window, long long budget)
    : window_(window),
      budget_(budget),
      launch_(window > 1 ? std::launch::async : std::launch::deferred) {}

bool PrepareQueue::HasRoomFor(long long bytes) const {
  return !Full() && (pages_.empty() || bytes_ + bytes <= budget_);
}

void PrepareQueue::Start(PageInFlight page, Prepare prepare) {
  Push(std::move(page), launch_, std::move(prepare));
}

void PrepareQueue::StartGrowing(PageInFlight page, Prepare prepare) {
  page.bytes = budget_;
  Push(std::move(page), std::launch::async, std::move(prepare));
}

void PrepareQueue::Push(PageInFlight page, std::launch launch, Prepare prepare) {
  page.prepared = std::async(launch, std::move(prepare));
  bytes_ += page.bytes;
  pages_.push_back(std::move(page));
}

bool PrepareQueue::FrontReady() const {
  return pages_.front().prepared.wait_for(std::chrono::seconds(0)) != std::future_status::timeout;
}

PageInFlight PrepareQueue::TakeFront() {
  PageInFlight page = std::move(pages_.front());
  pages_.pop_front();
  bytes_ -= page.bytes;
  return page;
}

PageInFlight* PrepareQueue::Growing(int page) {
  for (PageInFlight& flying : pages_) {
    if (flying.page == page && flying.growing) return &flying;
  }
  return nullptr;
}

int PrepareQueue::FirstIncompleteGrowing() const {
  for (const PageInFlight& flying : pages_) {
    if (flying.growing && !flying.growing->Complete()) return flying.page;
  }
  return 0;
}

void PrepareQueue::DiscardFrom(int page) noexcept {
  for (PageInFlight& flying : pages_) {
    if (flying.page >= page && flying.growing) flying.growing->Abandon();
  }
  while (!pages_.empty() && pages_.back().page >= page) {
    PageInFlight& flying = pages_.back();
    // A deferred page was never started: waiting would prepare it now, for nothing.
    if (flying.prepared.wait_for(std::chrono::seconds(0)) != std::future_status::deferred) {
      flying.prepared.wait();
    }
    bytes_ -= flying.bytes;
    pages_.pop_back();
  }
}

}  // namespace quillamar::batch
