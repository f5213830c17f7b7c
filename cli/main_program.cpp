// quillamar-cli: runs the conversion with a host that reports on the terminal.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "batch/batch.h"
#include "cli/cli.h"
#include "cli/inputs.h"
#include "cli/report.h"
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

// A reader that goes away (`| head`, a lost ssh channel) must not end the program unreported:
// writes to it fail with EPIPE instead (the renderer is started with the default again).
void IgnoreClosedPipes() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
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

// Keeps the terminal from echoing what is typed, as long as it lives.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// One line from the stream without its line end; nullopt at the end of the input or on an error.
std::optional<std::string> ReadLine(std::FILE* stream) {
  std::string line;
  for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
    if (c == '\n') return line;
    line.push_back(static_cast<char>(c));
  }
  if (line.empty()) return std::nullopt;
  return line;
}

// The first line of the password file ("-": standard input), without its line end.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error) {
  const bool standard_input = path == "-";
  std::FILE* stream = standard_input ? stdin : std::fopen(path.c_str(), "rb");
  if (stream == nullptr) {
    error = "cannot read the password file '" + path + "': " + std::strerror(errno);
    return std::nullopt;
  }
  std::string line = ReadLine(stream).value_or("");
  if (!standard_input) std::fclose(stream);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Asks on the terminal, without echo; an empty answer or the end of the input skips the PDF.
std::optional<std::string> PromptForPassword(const std::string& pdf, bool retry) {
  std::fprintf(stderr, "%s%s: password (empty to skip): ", retry ? "wrong password. " : "",
               FileNameOf(pdf).c_str());
  std::fflush(stderr);
  std::optional<std::string> answer;
  {
    const EchoOff echo_off(STDIN_FILENO);
    answer = ReadLine(stdin);
  }
  std::fputc('\n', stderr);
  if (!answer || answer->empty()) return std::nullopt;
  return answer;
}

// The run's host on a terminal: texts from the command line, status to standard output,
// messages to standard error.
class TerminalHost : public batch::RunHost {
 public:
  TerminalHost(const CommandLine& line, const TStringList& files, std::string output,
               std::optional<std::string> password, batch::StopSignal& stop)
      : line_(line),
        output_(std::move(output)),
        files_(files),
        password_(std::move(password)),
        stop_(stop) {
    for (const auto& file : files) chosen_text_ += FileNameOf(file) + ";";
  }

  /// Lets the reporter follow the run PDF by PDF.
  void SetReporter(RunReporter* reporter) { reporter_ = reporter; }

  std::string ChosenFilesText() override { return chosen_text_; }
  TStringList SourceFiles() override { return files_; }
  std::string OutputFolderText() override { return output_; }
  std::string FormatText() override { return line_.format; }
  std::string ResolutionText() override { return line_.resolution; }
  void SetStatusText(const std::string& text) override {
    bar_.Erase();
    std::printf("%s\n", text.c_str());
    // A status line nobody can read any more stops the run as Ctrl-C does: the report still
    // gets a line for every PDF.
    if (std::fflush(stdout) != 0) stop_.Request();
    bar_.Redraw();
  }
  void RepaintNow() override {}
  void SetProgressPosition(int position) override { bar_.SetPosition(position); }
  void SetProgressMaximum(int maximum) override { bar_.SetMaximum(maximum); }
  void PageProgress(int done, int total) override { bar_.SetPages(done, total); }
  void ShowMessage(const std::string& text) override { PrintError(text); }
  void ReportWarning(const std::string& text) override { PrintError("warning: " + text); }
  // The command line always names files and a folder, so these choices are never needed.
  void ChooseFiles() override { PrintError("no PDF files given"); }
  void ChooseFolder() override { PrintError("no output folder given"); }
  std::unique_ptr<batch::PreparedPage> PrepareReencode(const std::string& png_path,
                                                       const std::string& jpg_path) override {
    return batch::PreparePngToJpg(png_path, jpg_path);
  }
  void PdfStarted(const std::string& pdf) override {
    bar_.SetPdf(FileNameOf(pdf));
    if (reporter_ != nullptr) reporter_->Started(pdf);
  }
  void PdfFinished(const batch::PdfReport& report) override {
    if (reporter_ != nullptr) reporter_->Finished(report);
  }

  // The password file's line is tried once per PDF; without one, a terminal is asked.
  std::optional<std::string> AskPassword(const std::string& pdf, bool retry) override {
    if (password_) return retry ? std::nullopt : password_;
    if (::isatty(STDIN_FILENO) != 1) return std::nullopt;
    bar_.Erase();
    return PromptForPassword(pdf, retry);
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
  std::optional<std::string> password_;
  batch::StopSignal& stop_;
  std::string chosen_text_;
  ProgressBar bar_;
  RunReporter* reporter_ = nullptr;
};

int ExitStatusOf(const batch::RunResult& result) {
  if (result.outcome == batch::RunOutcome::kStopped) return kExitInterrupted;
  if (result.pdfs_not_started > 0 || result.pdfs_failed > 0) return kExitSomeFailed;
  return kExitConverted;
}

void PrintNote(const std::string& text) {
  std::fprintf(stderr, "quillamar-cli: %s\n", text.c_str());
  std::fflush(stderr);
}

TStringList ToList(const std::vector<std::string>& pdfs) {
  TStringList list;
  for (const auto& pdf : pdfs) list.Add(pdf);
  return list;
}

std::string Listed(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += "\n  " + item;
  return text;
}

// Leaves out the PDFs that the resume reports list as converted and unchanged, and says how many.
bool SkipConverted(const CommandLine& line, std::vector<std::string>& pdfs) {
  ResumeIndex index(pdfs);
  for (const auto& report : line.resume_reports) {
    std::string error;
    if (!index.Load(report, error)) {
      PrintNote(error);
      return false;
    }
  }
  const auto converted = [&](const std::string& pdf) {
    const std::optional<FileStamp> stamp = StampOf(pdf);
    return stamp && index.AlreadyConverted(pdf, *stamp, line.format, line.resolution);
  };
  const auto skipped = std::erase_if(pdfs, converted);
  PrintNote("skipped " + std::to_string(skipped) + " PDF(s) already converted");
  return true;
}

// First page files of the run's PDFs that are already in the folder.
std::vector<std::string> ExistingFirstPages(const CommandLine& line,
                                            const std::vector<std::string>& pdfs,
                                            const std::string& folder) {
  std::vector<const char*> extensions{".png"};
  if (line.format == "JPG") extensions.push_back(".jpg");
  std::vector<std::string> existing;
  std::set<std::string> looked_at;  // a PDF named twice has one first page
  for (const auto& pdf : pdfs) {
    for (const char* extension : extensions) {
      std::string page =
          renderer::PageFilePath(folder, WithoutExtension(FileNameOf(pdf)), 1, extension);
      if (looked_at.insert(page).second && FileExists(page)) existing.push_back(std::move(page));
    }
  }
  return existing;
}

// Names shared by several PDFs: a warning, or under --no-clobber (with page files already there)
// a refusal. Returns false when the run must not start.
bool AcceptClobbering(const CommandLine& line, const std::vector<std::string>& pdfs,
                      const std::string& folder) {
  const std::vector<std::string> clashes = batch::FindNameClashes(ToList(pdfs));
  if (!line.no_clobber) {
    if (!clashes.empty()) {
      PrintNote(
          "warning: several PDFs have these names; the later one's pages replace the "
          "earlier one's:" +
          Listed(clashes));
    }
    return true;
  }
  const std::vector<std::string> existing = ExistingFirstPages(line, pdfs, folder);
  if (!clashes.empty()) PrintNote("--no-clobber: several PDFs have these names:" + Listed(clashes));
  if (!existing.empty())
    PrintNote("--no-clobber: these page files exist already:" + Listed(existing));
  return clashes.empty() && existing.empty();
}

// The folder as the user would write it: absolute, without a trailing "/".
std::string ShownFolder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

int Convert(const CommandLine& line, const std::vector<std::string>& pdfs,
            const std::string& folder, std::optional<std::string> password) {
  std::optional<ReportFile> report_file;
  std::optional<RunReporter> reporter;
  if (!line.report.empty()) {
    report_file.emplace(line.report);
    if (!report_file->Error().empty()) {
      PrintNote(report_file->Error());
      return kExitError;
    }
    reporter.emplace(pdfs, folder, line.format, line.resolution, *report_file);
  }

  batch::StopSignal stop;
  InstallStopHandlers(stop);
  TerminalHost host(line, ToList(pdfs), folder, std::move(password), stop);
  host.SetReporter(reporter ? &*reporter : nullptr);
  batch::RunSettings settings;
  settings.stop = &stop;
  settings.jobs = line.jobs > 0
                      ? line.jobs
                      : DefaultJobs(batch::DefaultJobs(), std::getenv("SLURM_CPUS_PER_TASK"));
  int status = kExitConverted;
  std::string error;
  try {
    const batch::RunResult result = batch::Run(host, settings);
    status = ExitStatusOf(result);
    // One more line after "已完成！", where the pages are.
    if (line.verbose && result.outcome == batch::RunOutcome::kCompleted) {
      host.SetStatusText(ShownFolder(folder));
    }
  } catch (const EAbort& abort) {
    status = kExitError;
    error = abort.Message();
  } catch (const Exception& exception) {
    status = kExitError;
    error = DisplayedMessage(exception.Message());
    // Shown as the window's error display would show it.
    host.PrintError(error);
  }
  if (!reporter) return status;
  reporter->Ended(error);
  if (!reporter->WriteFailed()) return status;
  PrintNote(report_file->Error());
  return status == kExitInterrupted ? status : kExitError;
}

}  // namespace

int Main(int argc, char** argv) {
  IgnoreClosedPipes();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const Result<CommandLine> parsed = ParseCommandLine(arguments);
  if (!parsed) {
    std::fprintf(stderr, "quillamar-cli: %s\n%s", parsed.Error().c_str(), UsageText().c_str());
    return kExitUsage;
  }
  const CommandLine& line = *parsed;
  if (line.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitConverted;
  }
  if (line.version) {
    std::printf("quillamar-cli %s\n", QUILLAMAR_VERSION);
    return kExitConverted;
  }

  std::optional<std::string> password;
  if (!line.password_file.empty()) {
    std::string error;
    password = ReadPasswordFile(line.password_file, error);
    if (!password) {
      PrintNote(error);
      return kExitError;
    }
  }
  GatheredPdfs gathered = GatherPdfs(line);
  if (!gathered.error.empty()) {
    PrintNote(gathered.error);
    return kExitError;
  }
  std::vector<std::string> pdfs;
  for (const auto& pdf : gathered.pdfs) pdfs.push_back(AbsolutePath(pdf));
  if (pdfs.empty()) {
    PrintNote("no PDF files found");
    return kExitConverted;
  }
  if (!line.resume_reports.empty()) {
    if (!SkipConverted(line, pdfs)) return kExitError;
    if (pdfs.empty()) return kExitConverted;
  }
  const std::string folder = AbsolutePath(line.output);
  if (!AcceptClobbering(line, pdfs, folder)) return kExitUsage;
  return Convert(line, pdfs, folder, std::move(password));
}

}  // namespace quillamar::cli
