// Column widths of UTF-8 text on a terminal, by the character ranges terminals draw wide.
#include "cli/terminal_line.h"

#include <sys/ioctl.h>

#include <array>
#include <cstdint>
#include <utility>

namespace quillamar::cli {
namespace {

constexpr char kEllipsis[] = "…";
constexpr int kDefaultWidth = 80;

// Wide and full-width ranges: Hangul Jamo, CJK radicals to Yi, Hangul syllables, CJK
// compatibility, vertical and small forms, full-width forms, and the supplementary ideographs.
constexpr std::array<std::pair<char32_t, char32_t>, 9> kWideRanges{{
    {0x1100, 0x115F},
    {0x2E80, 0xA4CF},
    {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F},
    {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},
    {0x1F300, 0x1F64F},
    {0x20000, 0x3FFFD},
}};

// The bytes of the UTF-8 sequence this byte starts; 1 for a byte that starts none.
std::size_t SequenceLength(unsigned char lead) {
  if (lead >> 5 == 0x6) return 2;
  if (lead >> 4 == 0xE) return 3;
  if (lead >> 3 == 0x1E) return 4;
  return 1;
}

// One character from the start of the text: its code point and its length in bytes. A byte that
// does not start a well-formed sequence stands for itself.
std::pair<char32_t, std::size_t> NextCharacter(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = SequenceLength(lead);
  if (length == 1 || length > text.size()) return {lead, 1};
  char32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if (next >> 6 != 2) return {lead, 1};
    code = code << 6 | (next & 0x3F);
  }
  return {code, length};
}

int CharacterColumns(char32_t code) {
  if (code >= 0x0300 && code <= 0x036F) return 0;  // combining diacritical marks
  for (const auto& [first, last] : kWideRanges) {
    if (code >= first && code <= last) return 2;
  }
  return 1;
}

}  // namespace

int TerminalColumns(std::string_view text) {
  int columns = 0;
  while (!text.empty()) {
    const auto [code, length] = NextCharacter(text);
    columns += CharacterColumns(code);
    text.remove_prefix(length);
  }
  return columns;
}

std::string FitToColumns(std::string_view text, int columns) {
  if (TerminalColumns(text) <= columns) return std::string(text);
  const int room = columns - TerminalColumns(kEllipsis);
  if (room < 0) return {};
  std::string fitted;
  for (int used = 0; !text.empty();) {
    const auto [code, length] = NextCharacter(text);
    used += CharacterColumns(code);
    if (used > room) break;
    fitted.append(text.substr(0, length));
    text.remove_prefix(length);
  }
  return fitted + kEllipsis;
}

int TerminalWidth(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kDefaultWidth;
  return size.ws_col;
}

}  // namespace quillamar::cli
