// The run's host on a terminal: texts from the command line, status to standard output,
// messages to standard error.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "batch/batch.h"
#include "cli/cli.h"
#include "cli/terminal.h"

namespace quillamar::cli {

class RunReporter;

class TerminalHost : public batch::RunHost {
 public:
  /// files: the run's PDFs; password: the password file's line, or none (a terminal is asked).
  TerminalHost(const CommandLine& line, const TStringList& files, std::string output,
               std::optional<std::string> password, batch::StopSignal& stop);

  /// Lets the reporter follow the run PDF by PDF.
  void SetReporter(RunReporter* reporter) { reporter_ = reporter; }

  std::string ChosenFilesText() override { return chosen_text_; }
  TStringList SourceFiles() override { return files_; }
  std::string OutputFolderText() override { return output_; }
  std::string FormatText() override { return line_.format; }
  std::string ResolutionText() override { return line_.resolution; }
  void SetStatusText(const std::string& text) override;
  void RepaintNow() override {}
  // The bar counts the PDFs as they start.
  void SetProgressPosition(int) override {}
  void SetProgressMaximum(int) override {}
  void PageProgress(int done, int total) override { bar_.SetPages(done, total); }
  void ShowMessage(const std::string& text) override { PrintError(text); }
  void ReportWarning(const std::string& text) override { PrintError("warning: " + text); }
  // The command line always names files and a folder, so these choices are never needed.
  void ChooseFiles() override { PrintError("no PDF files given"); }
  void ChooseFolder() override { PrintError("no output folder given"); }
  std::unique_ptr<batch::PreparedPage> PrepareReencode(const std::string& png_path,
                                                       const std::string& jpg_path) override;
  void PdfStarted(const std::string& pdf) override;
  void PdfFinished(const batch::PdfReport& report) override;
  /// The password file's line is tried once per PDF; without one, a terminal is asked.
  std::optional<std::string> AskPassword(const std::string& pdf, bool retry) override;

  /// The bar goes before the run's last lines.
  void EndProgress() { bar_.End(); }
  /// The text as a line of its own on standard error.
  void PrintError(const std::string& text);

 private:
  const CommandLine& line_;
  std::string output_;
  TStringList files_;
  std::optional<std::string> password_;
  batch::StopSignal& stop_;
  std::string chosen_text_;
  ProgressBar bar_;
  RunReporter* reporter_ = nullptr;
};

}  // namespace quillamar::cli
