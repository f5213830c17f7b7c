// quillamar-cli: runs the conversion with a host that reports on the terminal.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "batch/batch.h"
#include "cli/cli.h"
#include "framework/exceptions.h"
#include "framework/paths.h"

#ifndef QUILLAMAR_VERSION
#define QUILLAMAR_VERSION "0.0.0"
#endif

namespace quillamar::cli {
namespace {

batch::StopSignal* g_stop = nullptr;

extern "C" void OnInterrupt(int) {
  if (g_stop != nullptr) g_stop->Request();
}

// Ctrl-C and SIGTERM stop the run (and with it the renderer) instead of killing us outright.
void InstallStopHandlers(batch::StopSignal& stop) {
  g_stop = &stop;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(signal_number, &action, nullptr);
  }
}

// A one-line bar on standard error, drawn only when it is a terminal. It counts the PDFs, or the
// pages of the current PDF once its renderer has announced them.
class ProgressBar {
 public:
  ProgressBar() : enabled_(::isatty(STDERR_FILENO) == 1) {}
  void SetMaximum(int maximum) { maximum_ = maximum; }
  void SetPosition(int position) {
    position_ = position;
    Draw();
  }
  void SetPdf(std::string name) {
    pdf_ = std::move(name);
    page_total_ = 0;
  }
  void SetPages(int done, int total) {
    pages_done_ = done;
    page_total_ = total;
    Draw();
  }
  // Clears the bar so that another line can be written in its place.
  void Erase() {
    if (enabled_ && drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }
  void Redraw() { Draw(); }

 private:
  void Draw() {
    if (!enabled_) return;
    if (page_total_ > 0) {
      std::fprintf(stderr, "\r\033[K%s  %d/%d", pdf_.c_str(), pages_done_, page_total_);
    } else if (maximum_ > 0) {
      constexpr int kCells = 30;
      const int filled = position_ * kCells / maximum_;
      std::string bar(static_cast<std::size_t>(filled), '#');
      bar.resize(kCells, '.');
      std::fprintf(stderr, "\r[%s] %d/%d", bar.c_str(), position_, maximum_);
    } else {
      return;
    }
    std::fflush(stderr);
    drawn_ = true;
  }

  bool enabled_;
  bool drawn_ = false;
  int maximum_ = 0;
  int position_ = 0;
  std::string pdf_;
  int pages_done_ = 0;
  int page_total_ = 0;
};

// The run's host on a terminal: texts from the command line, status to standard output,
// messages to standard error.
class TerminalHost : public batch::RunHost {
 public:
  explicit TerminalHost(const CommandLine& line) : line_(line) {
    output_ = AbsolutePath(line.output);
    for (const auto& file : line.files) {
      files_.Add(AbsolutePath(file));
      chosen_text_ += FileNameOf(file) + ";";
    }
  }

  std::string ChosenFilesText() override { return chosen_text_; }
  TStringList SourceFiles() override { return files_; }
  std::string OutputFolderText() override { return output_; }
  std::string FormatText() override { return line_.format; }
  std::string ResolutionText() override { return line_.resolution; }
  void SetStatusText(const std::string& text) override {
    bar_.Erase();
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    bar_.Redraw();
  }
  void RepaintNow() override {}
  void SetProgressPosition(int position) override { bar_.SetPosition(position); }
  void SetProgressMaximum(int maximum) override { bar_.SetMaximum(maximum); }
  void PdfStarted(const std::string& pdf) override { bar_.SetPdf(FileNameOf(pdf)); }
  void PageProgress(int done, int total) override { bar_.SetPages(done, total); }
  void ShowMessage(const std::string& text) override { PrintError(text); }
  // The command line always names files and a folder, so these choices are never needed.
  void ChooseFiles() override { PrintError("no PDF files given"); }
  void ChooseFolder() override { PrintError("no output folder given"); }
  std::unique_ptr<batch::PreparedPage> PrepareReencode(const std::string& png_path,
                                                       const std::string& jpg_path) override {
    return batch::PreparePngToJpg(png_path, jpg_path);
  }

  void PrintError(const std::string& text) {
    bar_.Erase();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }

 private:
  const CommandLine& line_;
  std::string output_;
  TStringList files_;
  std::string chosen_text_;
  ProgressBar bar_;
};

int ExitStatusOf(const batch::RunResult& result) {
  if (result.outcome == batch::RunOutcome::kStopped) return kExitInterrupted;
  if (result.pdfs_not_started > 0 || result.pdfs_failed > 0) return kExitSomeFailed;
  return kExitConverted;
}

}  // namespace

int Main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const ParseResult parsed = ParseCommandLine(arguments);
  if (!parsed.ok) {
    std::fprintf(stderr, "quillamar-cli: %s\n%s", parsed.error.c_str(), UsageText().c_str());
    return kExitUsage;
  }
  if (parsed.line.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitConverted;
  }
  if (parsed.line.version) {
    std::printf("quillamar-cli %s\n", QUILLAMAR_VERSION);
    return kExitConverted;
  }

  batch::StopSignal stop;
  InstallStopHandlers(stop);
  TerminalHost host(parsed.line);
  batch::RunSettings settings;
  settings.stop = &stop;
  settings.jobs = parsed.line.jobs;
  try {
    return ExitStatusOf(batch::Run(host, settings));
  } catch (const EAbort&) {
    return kExitError;
  } catch (const Exception& error) {
    // Shown as the window's error display would show it.
    host.PrintError(DisplayedMessage(error.Message()));
    return kExitError;
  }
}

}  // namespace quillamar::cli
