// The terminal's host: each call of the run turned into a line, the bar or a prompt.
#include "cli/terminal_host.h"

#include <unistd.h>

#include <cstdio>

#include "cli/report_file.h"
#include "framework/paths.h"

namespace quillamar::cli {

TerminalHost::TerminalHost(const CommandLine& line, const TStringList& files, std::string output,
                           std::optional<std::string> password, batch::StopSignal& stop)
    : line_(line),
      output_(std::move(output)),
      files_(files),
      password_(std::move(password)),
      stop_(stop) {
  for (const auto& file : files) chosen_text_ += FileNameOf(file) + ";";
  bar_.SetPdfCount(files.Count());
}

void TerminalHost::SetStatusText(const std::string& text) {
  bar_.Erase();
  std::printf("%s\n", text.c_str());
  // A status line nobody can read any more stops the run as Ctrl-C does: the report still gets a
  // line for every PDF.
  if (std::fflush(stdout) != 0) stop_.Request();
  bar_.Redraw();
}

std::unique_ptr<batch::PreparedPage> TerminalHost::PrepareReencode(const std::string& png_path,
                                                                   const std::string& jpg_path) {
  return batch::PreparePngToJpg(png_path, jpg_path);
}

void TerminalHost::PdfStarted(const std::string& pdf) {
  bar_.SetPdf(FileNameOf(pdf));
  if (reporter_ != nullptr) reporter_->Started(pdf);
}

void TerminalHost::PdfFinished(const batch::PdfReport& report) {
  if (reporter_ != nullptr) reporter_->Finished(report);
}

std::optional<std::string> TerminalHost::AskPassword(const std::string& pdf, bool retry) {
  if (password_) return retry ? std::nullopt : password_;
  if (::isatty(STDIN_FILENO) != 1) return std::nullopt;
  bar_.Erase();
  return PromptForPassword(pdf, retry);
}

void TerminalHost::PrintError(const std::string& text) {
  bar_.Erase();
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace quillamar::cli
