// Pages whose JPEG is in place but whose PNG waits until that JPEG has surely reached the disk.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillamar::batch {

/// A group of committed pages. A JPEG renamed into place may still live only in memory; a power cut
/// before the system writes it back could leave an empty JPEG, so its PNG must not go before it.
/// Flushing page by page would cost much more than flushing a group: the group is flushed (every
/// JPEG and its folder entry) and its PNGs are deleted, in the order they were added, once its
/// oldest page has waited max_age or it holds max_pages pages, on Flush, and when the group goes,
/// however that happens. A PNG is let go by deleting it, unless the owner takes it over.
class CommittedPages {
 public:
  static constexpr std::chrono::milliseconds kDefaultMaxAge{100};
  /// Disposes of a PNG whose JPEG surely reached the disk. Should it raise (out of memory), that
  /// PNG and the rest of the group's stay.
  using LetGo = std::function<void(const std::string& png_path)>;

  explicit CommittedPages(std::chrono::milliseconds max_age = kDefaultMaxAge,
                          std::size_t max_pages = SIZE_MAX, LetGo let_go = nullptr)
      : max_age_(max_age), max_pages_(max_pages), let_go_(std::move(let_go)) {}
  ~CommittedPages() { Flush(); }
  CommittedPages(const CommittedPages&) = delete;
  CommittedPages& operator=(const CommittedPages&) = delete;

  /// Adds a page whose JPEG is in place; flushes the group when its oldest page is old enough or
  /// it is full. Returns whether it flushed.
  bool Add(std::string jpg_path, std::string png_path);

  /// How long until the group's oldest page has waited max_age (zero once it has); negative while
  /// the group is empty.
  std::chrono::milliseconds TimeLeft() const;

  /// Writes the group's JPEGs and folder entries to the disk, then lets go of each PNG whose JPEG
  /// surely got there; a PNG whose JPEG could not be flushed stays. Never raises.
  void Flush() noexcept;

 private:
  struct Page {
    std::string jpg_path;
    std::string png_path;
  };

  std::chrono::milliseconds max_age_;
  std::size_t max_pages_;
  LetGo let_go_;
  std::chrono::steady_clock::time_point oldest_{};
  std::vector<Page> pages_;
};

}  // namespace quillamar::batch
