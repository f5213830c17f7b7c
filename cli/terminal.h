// What the program shows and asks on the terminal: the progress bar, the password prompt, notes.
#pragma once

#include <optional>
#include <string>

namespace quillamar::cli {

/// A one-line bar on standard error, drawn only when it is a terminal and cut to its width. It
/// counts the PDFs from 1 to N, or the pages of the current PDF once its renderer has announced
/// them.
class ProgressBar {
 public:
  ProgressBar();
  void SetPdfCount(int count) { pdf_count_ = count; }
  /// The next PDF (its file name) begins.
  void SetPdf(std::string name);
  void SetPages(int done, int total);
  /// Clears the bar so that another line can be written in its place.
  void Erase();
  void Redraw() { Draw(); }
  /// The run is over: the bar goes for good, so that its last line is the last on the terminal.
  void End();

 private:
  void Draw();

  bool enabled_;
  bool drawn_ = false;
  int pdf_count_ = 0;
  int pdf_number_ = 0;  // the current PDF's, from 1
  std::string pdf_;
  int pages_done_ = 0;
  int page_total_ = 0;
};

/// Asks on the terminal for the PDF's password, without echo; nullopt (skip the PDF) for an empty
/// answer or the end of the input. `retry` says the last answer was wrong.
std::optional<std::string> PromptForPassword(const std::string& pdf, bool retry);

/// A line of the program's own on standard error: "quillamar-cli: " and the text.
void PrintNote(const std::string& text);

}  // namespace quillamar::cli
