// What a PDF rendered ahead of its turn would have shown or done, kept until its turn.
#pragma once

#include <vector>

namespace quillamar::batch {

/// The events of a staged PDF, in their order: shown (progress) or done (a page committed in the
/// staging folder, a page rendered while pages stay PNG) once the PDF's turn comes.
class StagedEvents {
 public:
  struct Event {
    enum class Kind { kProgress, kCommitted, kRendered } kind;
    int first;   ///< the page; pages done for progress
    int second;  ///< pages in all for progress
  };

  void Keep(Event event) { events_.push_back(event); }
  /// Hands each kept event to take, in order, and forgets them.
  template <typename Take>
  void Replay(Take&& take) {
    for (const Event& event : events_) take(event);
    events_.clear();
  }

 private:
  std::vector<Event> events_;
};

}  // namespace quillamar::batch
