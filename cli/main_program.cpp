// quillamar-cli's Main: the command line read, its inputs checked, the run started with the
// terminal's host and its report, and the exit status worked out.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "batch/batch.h"
#include "cli/cli.h"
#include "cli/inputs.h"
#include "cli/report_file.h"
#include "cli/resume.h"
#include "cli/run_checks.h"
#include "cli/terminal.h"
#include "cli/terminal_host.h"
#include "framework/exceptions.h"
#include "framework/paths.h"
#include "quillamar_version.h"

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

// PDFs that failed: unreadable ones left out before the run, and those the run could not convert.
int FailedPdfs(const batch::RunResult& result, std::size_t unreadable) {
  return result.pdfs_not_started + result.pdfs_failed + static_cast<int>(unreadable);
}

int ExitStatusOf(const batch::RunResult& result, std::size_t unreadable) {
  if (result.outcome == batch::RunOutcome::kStopped) return kExitInterrupted;
  if (FailedPdfs(result, unreadable) > 0) return kExitSomeFailed;
  return kExitConverted;
}

TStringList ToList(const std::vector<std::string>& pdfs) {
  TStringList list;
  for (const auto& pdf : pdfs) list.Add(pdf);
  return list;
}

// The folder as the user would write it: absolute, without a trailing "/".
std::string ShownFolder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// The line after "已完成！" when some PDF failed.
std::string FailedLine(int failed, std::size_t pdfs) {
  return std::to_string(failed) + "/" + std::to_string(pdfs) + " 个PDF文件转换失败";
}

// The report's reporter, with the unreadable PDFs' lines already written.
Result<std::unique_ptr<RunReporter>> StartReport(const CommandLine& line,
                                                 const std::vector<std::string>& pdfs,
                                                 const std::vector<std::string>& unreadable,
                                                 const std::string& folder) {
  Result<ReportFile> file = ReportFile::Open(line.report);
  if (!file) return Fail(file.Error());
  std::vector<std::string> listed = unreadable;
  listed.insert(listed.end(), pdfs.begin(), pdfs.end());
  auto reporter = std::make_unique<RunReporter>(listed, folder, line.format, line.resolution,
                                                std::move(file).Value());
  for (const auto& pdf : unreadable) {
    reporter->Started(pdf);
    reporter->Finished({pdf, batch::PdfReport::Outcome::kFailed, "cannot be read"});
  }
  return reporter;
}

int Convert(const CommandLine& line, const std::vector<std::string>& pdfs,
            const std::vector<std::string>& unreadable, const std::string& folder,
            std::optional<std::string> password) {
  std::unique_ptr<RunReporter> reporter;
  if (!line.report.empty()) {
    Result<std::unique_ptr<RunReporter>> started = StartReport(line, pdfs, unreadable, folder);
    if (!started) {
      PrintNote(started.Error());
      return kExitError;
    }
    reporter = std::move(started).Value();
  }
  if (pdfs.empty()) return kExitSomeFailed;

  batch::StopSignal stop;
  InstallStopHandlers(stop);
  TerminalHost host(line, ToList(pdfs), folder, std::move(password), stop);
  host.SetReporter(reporter.get());
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
  if (reporter == nullptr) return status;
  reporter->Ended(error);
  const Status written = reporter->Written();
  if (written) return status;
  PrintNote(written.Error());
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
    const Result<std::string> read = ReadPasswordFile(line.password_file);
    if (!read) {
      PrintNote(read.Error());
      return kExitError;
    }
    password = *read;
  }
  const Result<std::vector<std::string>> gathered = GatherPdfs(line);
  if (!gathered) {
    PrintNote(gathered.Error());
    return kExitError;
  }
  std::vector<std::string> pdfs;
  for (const auto& pdf : *gathered) pdfs.push_back(AbsolutePath(pdf));
  if (pdfs.empty()) {
    PrintNote("no PDF files found");
    return kExitConverted;
  }
  const std::vector<std::string> unreadable = TakeUnreadable(pdfs);
  if (!line.resume_reports.empty()) {
    const Result<std::size_t> skipped =
        SkipConverted(line.resume_reports, line.format, line.resolution, pdfs);
    if (!skipped) {
      PrintNote(skipped.Error());
      return kExitError;
    }
    PrintNote("skipped " + std::to_string(*skipped) + " PDF(s) already converted");
    if (pdfs.empty() && unreadable.empty()) return kExitConverted;
  }
  const std::string folder = AbsolutePath(line.output);
  if (!AcceptClobbering(line, ToList(pdfs), folder)) return kExitUsage;
  if (const Status prepared = PrepareOutputFolder(folder); !prepared) {
    PrintNote(prepared.Error());
    return kExitError;
  }
  return Convert(line, pdfs, unreadable, folder, std::move(password));
}

}  // namespace quillamar::cli
