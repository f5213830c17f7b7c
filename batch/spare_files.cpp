// The spares of one renderer.
#include "batch/spare_files.h"

#include <algorithm>

#include "framework/paths.h"

namespace quillamar::batch {

bool SpareFiles::MayOffer(int unwritten_pages) {
  std::erase_if(spares_, [](const Spare& spare) { return !FileExists(spare.path); });
  const auto unwritten = static_cast<std::size_t>(std::max(unwritten_pages, 0));
  return open_ && spares_.size() < kMost && unwritten > spares_.size();
}

void SpareFiles::Offered(int page, std::string path) { spares_.push_back({page, std::move(path)}); }

void SpareFiles::Close() noexcept {
  open_ = false;
  for (const Spare& spare : spares_) DeleteFile(spare.path);
  spares_.clear();
}

}  // namespace quillamar::batch
