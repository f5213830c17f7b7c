// Fitting a line of UTF-8 text into a terminal's columns.
#pragma once

#include <string>
#include <string_view>

namespace quillamar::cli {

/// The columns the text takes on a terminal: East Asian wide and full-width characters two,
/// combining marks none, anything else (a byte that is not UTF-8 too) one.
int TerminalColumns(std::string_view text);

/// The text when it takes at most `columns` columns; otherwise its start, cut between characters,
/// and "…", together at most `columns` wide (empty when not even "…" fits).
std::string FitToColumns(std::string_view text, int columns);

/// The columns of the terminal on this descriptor; 80 when it does not say.
int TerminalWidth(int fd);

}  // namespace quillamar::cli
