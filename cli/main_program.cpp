// quillamar-cli: runs the conversion with a host that reports on the terminal.
#include <fcntl.h>
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
#include "cli/terminal_line.h"
#include "framework/descriptors.h"
#include "framework/exceptions.h"
#include "framework/paths.h"
#include "quillamar_version.h"

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

// A one-line bar on standard error, drawn only when it is a terminal and cut to its width. It
// counts the PDFs from 1 to N, or the pages of the current PDF once its renderer has announced
// them.
class ProgressBar {
 public:
  ProgressBar() : enabled_(::isatty(STDERR_FILENO) == 1) {}
  void SetPdfCount(int count) { pdf_count_ = count; }
  void SetPdf(std::string name) {
    pdf_ = std::move(name);
    ++pdf_number_;
    page_total_ = 0;
    Draw();
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
  // The run is over: the bar goes for good, so that its last line is the last on the terminal.
  void End() {
    Erase();
    enabled_ = false;
  }

 private:
  void Draw() {
    if (!enabled_) return;
    // The last column stays free: writing there makes some terminals move to the next line.
    const int columns = TerminalWidth(STDERR_FILENO) - 1;
    std::string line;
    if (page_total_ > 0) {
      const std::string count =
          "  " + std::to_string(pages_done_) + "/" + std::to_string(page_total_);
      line = FitToColumns(pdf_, columns - TerminalColumns(count)) + count;
    } else if (pdf_count_ > 1 && pdf_number_ > 0) {
      constexpr int kCells = 30;
      std::string bar(static_cast<std::size_t>((pdf_number_ - 1) * kCells / pdf_count_), '#');
      bar.resize(kCells, '.');
      line = "[" + bar + "] " + std::to_string(pdf_number_) + "/" + std::to_string(pdf_count_);
    } else {
      return;
    }
    std::fprintf(stderr, "\r\033[K%s", FitToColumns(line, columns).c_str());
    std::fflush(stderr);
    drawn_ = true;
  }

  bool enabled_;
  bool drawn_ = false;
  int pdf_count_ = 0;
  int pdf_number_ = 0;  // the current PDF's, from 1
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
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      standard_input ? nullptr : std::fopen(path.c_str(), "rb"), &std::fclose);
  std::FILE* stream = standard_input ? stdin : file.get();
  if (stream == nullptr) {
    error = "cannot read the password file '" + path + "': " + std::strerror(errno);
    return std::nullopt;
  }
  std::string line = ReadLine(stream).value_or("");
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
    bar_.SetPdfCount(files.Count());
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

  /// The bar goes before the run's last lines.
  void EndProgress() { bar_.End(); }

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

// PDFs that failed: unreadable ones left out before the run, and those the run could not convert.
int FailedPdfs(const batch::RunResult& result, std::size_t unreadable) {
  return result.pdfs_not_started + result.pdfs_failed + static_cast<int>(unreadable);
}

int ExitStatusOf(const batch::RunResult& result, std::size_t unreadable) {
  if (result.outcome == batch::RunOutcome::kStopped) return kExitInterrupted;
  if (FailedPdfs(result, unreadable) > 0) return kExitSomeFailed;
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
      std::string page = batch::PageFilePath(folder, batch::BaseNameOf(pdf), 1, extension);
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

// Each PDF that cannot be opened for reading gets one line and is left out of the run.
std::vector<std::string> TakeUnreadable(std::vector<std::string>& pdfs) {
  std::vector<std::string> unreadable;
  std::erase_if(pdfs, [&unreadable](const std::string& pdf) {
    const FileDescriptor file(::open(pdf.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.Valid()) return false;
    PrintNote("cannot read '" + pdf + "': " + std::strerror(errno));
    unreadable.push_back(pdf);
    return true;
  });
  return unreadable;
}

// Why the output folder cannot take the pages (it is created when missing); empty when it can.
std::string OutputFolderProblem(const std::string& folder) {
  if (FileExists(folder) && !FolderExists(folder)) {
    return "the output folder '" + folder + "' is not a folder";
  }
  if (!ForceFolders(folder)) {
    return "cannot create the output folder '" + folder + "': " + std::strerror(errno);
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return "cannot write in the output folder '" + folder + "': " + std::strerror(errno);
  }
  return {};
}

// The line after "已完成！" when some PDF failed.
std::string FailedLine(int failed, std::size_t pdfs) {
  return std::to_string(failed) + "/" + std::to_string(pdfs) + " 个PDF文件转换失败";
}

int Convert(const CommandLine& line, const std::vector<std::string>& pdfs,
            const std::vector<std::string>& unreadable, const std::string& folder,
            std::optional<std::string> password) {
  std::optional<ReportFile> report_file;
  std::optional<RunReporter> reporter;
  if (!line.report.empty()) {
    report_file.emplace(line.report);
    if (!report_file->Error().empty()) {
      PrintNote(report_file->Error());
      return kExitError;
    }
    std::vector<std::string> listed = unreadable;
    listed.insert(listed.end(), pdfs.begin(), pdfs.end());
    reporter.emplace(listed, folder, line.format, line.resolution, *report_file);
    for (const auto& pdf : unreadable) {
      reporter->Started(pdf);
      reporter->Finished({pdf, batch::PdfReport::Outcome::kFailed, "cannot be read"});
    }
  }
  if (pdfs.empty()) return kExitSomeFailed;

  batch::StopSignal stop;
  InstallStopHandlers(stop);
  TerminalHost host(line, ToList(pdfs), folder, std::move(password), stop);
  host.SetReporter(reporter ? &*reporter : nullptr);
  batch::RunSettings settings;
  settings.stop = &stop;
  settings.jobs = line.jobs > 0
                      ? line.jobs
                      : DefaultJobs(batch::DefaultJobs(), std::getenv("SLURM_CPUS_PER_TASK"));
  settings.engine = line.engine;
  int status = kExitConverted;
  std::string error;
  try {
    const batch::RunResult result = batch::Run(host, settings);
    host.EndProgress();
    status = ExitStatusOf(result, unreadable.size());
    const int failed = FailedPdfs(result, unreadable.size());
    // More lines after "已完成！": how many PDFs failed, and where the pages are.
    if (result.outcome == batch::RunOutcome::kCompleted && failed > 0) {
      host.SetStatusText(FailedLine(failed, pdfs.size() + unreadable.size()));
    }
    if (line.verbose && result.outcome == batch::RunOutcome::kCompleted) {
      host.SetStatusText(ShownFolder(folder));
    }
  } catch (const EAbort& abort) {
    host.EndProgress();
    status = kExitError;
    error = abort.Message();
  } catch (const Exception& exception) {
    host.EndProgress();
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
    std::printf("quillamar-cli %s\n", QUILLAMAR_VERSION_TEXT);
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
  const std::vector<std::string> unreadable = TakeUnreadable(pdfs);
  if (!line.resume_reports.empty()) {
    if (!SkipConverted(line, pdfs)) return kExitError;
    if (pdfs.empty() && unreadable.empty()) return kExitConverted;
  }
  const std::string folder = AbsolutePath(line.output);
  if (!AcceptClobbering(line, pdfs, folder)) return kExitUsage;
  if (const std::string problem = OutputFolderProblem(folder); !problem.empty()) {
    PrintNote(problem);
    return kExitError;
  }
  return Convert(line, pdfs, unreadable, folder, std::move(password));
}

}  // namespace quillamar::cli
