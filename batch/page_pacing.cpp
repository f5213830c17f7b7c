// The pacing of one renderer by page number.
#include "batch/page_pacing.h"

#include <algorithm>
#include <cstddef>

namespace quillamar::batch {

void PagePacing::SetTotal(int pages) {
  total_ = pages;
  heard_pages_.assign(static_cast<std::size_t>(std::max(pages, 0)) + 1, false);
  consumed_pages_.assign(heard_pages_.size(), false);
}

void PagePacing::Heard(int page) {
  ++heard_;
  if (page < 1 || page > total_) return;
  heard_pages_[static_cast<std::size_t>(page)] = true;
  while (first_unheard_ <= total_ && heard_pages_[static_cast<std::size_t>(first_unheard_)]) {
    ++first_unheard_;
  }
}

void PagePacing::Consumed(int page) {
  if (page >= 1 && page <= total_) consumed_pages_[static_cast<std::size_t>(page)] = true;
}

int PagePacing::RenderableNow(int window) const {
  if (total_ <= 0) return 1;
  if (window <= 0) return total_ - heard_;
  int renderable = 0;
  for (int page = first_unheard_; page <= total_; ++page) {
    if (page > window && !consumed_pages_[static_cast<std::size_t>(page - window)]) break;
    if (!heard_pages_[static_cast<std::size_t>(page)]) ++renderable;
  }
  return renderable;
}

}  // namespace quillamar::batch
