// What a PDF's renderer has said of its pages and which of them the run has consumed, and from
// that how many pages the renderer can be working on now.
#pragma once

#include <vector>

namespace quillamar::batch {

/// The pacing of one renderer: it starts page n + window only once the run has consumed page n.
/// Free of processes: the page loop feeds it what it hears and does.
class PagePacing {
 public:
  /// The renderer's page count.
  void SetTotal(int pages);
  /// The renderer said page is done or failed (a number outside 1..Total() counts, unkept).
  void Heard(int page);
  /// The run is done with page: a paced renderer may go on past it.
  void Consumed(int page);

  /// The page count; 0 until the renderer has said it.
  int Total() const { return total_; }
  /// Pages the renderer has said nothing about yet.
  int Unheard() const { return total_ - heard_; }
  /// Pages the renderer can be working on now under the window (0: not paced): those it has said
  /// nothing about that the window lets it start; a page waiting for an earlier one to be
  /// consumed keeps no core busy. 1 while it has not said how many there are (it opens the PDF
  /// on one thread).
  int RenderableNow(int window) const;

 private:
  int total_ = 0;
  int heard_ = 0;                  // pages said done or failed
  std::vector<bool> heard_pages_;  // by page number, once the total is known
  std::vector<bool> consumed_pages_;
  int first_unheard_ = 1;
};

}  // namespace quillamar::batch
