// Consumed page files left for the renderer to write later pages over.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quillamar::batch {

/// The spares of one renderer. Writing a page over a file of the same size costs the renderer less
/// than a new file, and the run less than deleting one; so a consumed page's file may be offered
/// instead of deleted, while the renderer has pages left to write.
class SpareFiles {
 public:
  /// Spares offered and not yet taken at most: the intermediate files of a PDF stay within the
  /// pacing window and two.
  static constexpr std::size_t kMost = 2;

  SpareFiles() { spares_.reserve(kMost); }  // so that keeping track of a spare never fails

  /// Another may be offered: the renderer has not ended, fewer than kMost wait (those it took by
  /// now are forgotten) and it has more pages left to write than wait.
  bool MayOffer(int unwritten_pages);
  /// The file at path, page's, is offered now.
  void Offered(int page, std::string path);
  /// The renderer has ended: the spares it did not take are removed, and none is offered again.
  void Close() noexcept;

 private:
  struct Spare {
    int page;
    std::string path;
  };
  std::vector<Spare> spares_;  // offered, maybe taken by now
  bool open_ = true;           // while the renderer may take them
};

}  // namespace quillamar::batch
