// The page channel's lines, formatted and parsed in one place for both ends. Header-only and free
// of dependencies, like the contract.
#pragma once

#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "contract/renderer_contract.h"

namespace quillamar::contract {

/// One line of the page channel (see kChannelPageCount and the words after it).
struct ChannelMessage {
  enum class Kind {
    kPageCount,    ///< from the renderer: the PDF's page count
    kPageDone,     ///< from the renderer: the page's file is complete under its final name
    kPageGrowing,  ///< from the renderer: the page's file is being written, temporary `file`
    kPageFailed,   ///< from the renderer: the page will have no file
    kConsumed,     ///< from the run: it is done with the page's file
    kWorkers,      ///< from the run: this many workers may render
    kSpare,        ///< from the run: the consumed page's file is left to write over
  };
  Kind kind = Kind::kPageCount;
  int number = 0;
  unsigned file = 0;  ///< kPageGrowing only
  bool operator==(const ChannelMessage&) const = default;
};

namespace channel_detail {

struct KindWord {
  ChannelMessage::Kind kind;
  const char* word;
};

inline constexpr KindWord kKindWords[] = {
    {ChannelMessage::Kind::kPageCount, kChannelPageCount},
    {ChannelMessage::Kind::kPageDone, kChannelPageDone},
    {ChannelMessage::Kind::kPageGrowing, kChannelPageGrowing},
    {ChannelMessage::Kind::kPageFailed, kChannelPageFailed},
    {ChannelMessage::Kind::kConsumed, kChannelConsumed},
    {ChannelMessage::Kind::kWorkers, kChannelWorkers},
    {ChannelMessage::Kind::kSpare, kChannelSpare},
};

// Reads a decimal number that ends at end or at a blank; the rest after it.
template <typename Number>
inline bool TakeNumber(std::string_view& text, Number& number) {
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, number);
  if (error != std::errc() || (rest != end && *rest != ' ')) return false;
  text.remove_prefix(static_cast<std::size_t>(rest - text.data()));
  return true;
}

}  // namespace channel_detail

/// The message's line, its newline included: "WORD NUMBER\n", or "growing NUMBER FILE\n".
inline std::string FormatChannelLine(const ChannelMessage& message) {
  std::string line;
  for (const auto& [kind, word] : channel_detail::kKindWords) {
    if (kind == message.kind) line = word;
  }
  line.append(" ").append(std::to_string(message.number));
  if (message.kind == ChannelMessage::Kind::kPageGrowing) {
    line.append(" ").append(std::to_string(message.file));
  }
  line.push_back('\n');
  return line;
}

/// The message of one line without its newline; nullopt for a line that is none of the channel's
/// (an unknown word, a number missing or followed by anything else).
inline std::optional<ChannelMessage> ParseChannelLine(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view word = line.substr(0, space);
  std::string_view rest = line.substr(space + 1);
  for (const auto& [kind, known] : channel_detail::kKindWords) {
    if (word != known) continue;
    ChannelMessage message{kind};
    if (!channel_detail::TakeNumber(rest, message.number)) return std::nullopt;
    if (kind == ChannelMessage::Kind::kPageGrowing) {
      if (rest.empty()) return std::nullopt;
      rest.remove_prefix(1);
      if (!channel_detail::TakeNumber(rest, message.file)) return std::nullopt;
    }
    if (!rest.empty()) return std::nullopt;
    return message;
  }
  return std::nullopt;
}

/// Channel text as it arrives, in pieces, taken out as whole lines' messages. Lines that are none
/// of the channel's are passed over; text that goes on for more than a few lines without ending
/// one is dropped, so that a peer that never ends its lines costs no more room than that.
class ChannelLines {
 public:
  void Append(const char* bytes, std::size_t count) { pending_.append(bytes, count); }

  /// The next whole line's message; nullopt once no whole line of the channel's is left.
  std::optional<ChannelMessage> Next() {
    for (std::size_t newline = pending_.find('\n'); newline != std::string::npos;
         newline = pending_.find('\n')) {
      const std::optional<ChannelMessage> message =
          ParseChannelLine(std::string_view(pending_).substr(0, newline));
      pending_.erase(0, newline + 1);
      if (message) return message;
    }
    if (pending_.size() > 4 * static_cast<std::size_t>(kChannelLineMax)) pending_.clear();
    return std::nullopt;
  }

 private:
  std::string pending_;
};

}  // namespace quillamar::contract
