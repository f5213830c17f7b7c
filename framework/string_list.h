// An ordered list of texts, duplicates allowed, never sorted.
#pragma once

#include <string>
#include <vector>

namespace quillamar {

/// The list of chosen PDF paths keeps the order in which they were added.
class TStringList {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> items) : items_(items) {}

  void Add(std::string item) { items_.push_back(std::move(item)); }
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  /// The entry at index (0 to Count() - 1).
  const std::string& Strings(int index) const { return items_.at(static_cast<std::size_t>(index)); }
  const std::string& operator[](int index) const { return Strings(index); }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }
  bool operator==(const TStringList&) const = default;

 private:
  std::vector<std::string> items_;
};

}  // namespace quillamar
