// The progress bar drawn over one terminal line, and the password asked without echo.
#include "cli/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "cli/terminal_line.h"
#include "framework/paths.h"

namespace quillamar::cli {
namespace {

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

}  // namespace

ProgressBar::ProgressBar() : enabled_(::isatty(STDERR_FILENO) == 1) {}

void ProgressBar::SetPdf(std::string name) {
  pdf_ = std::move(name);
  ++pdf_number_;
  page_total_ = 0;
  Draw();
}

void ProgressBar::SetPages(int done, int total) {
  pages_done_ = done;
  page_total_ = total;
  Draw();
}

void ProgressBar::Erase() {
  if (enabled_ && drawn_) std::fputs("\r\033[K", stderr);
  drawn_ = false;
}

void ProgressBar::End() {
  Erase();
  enabled_ = false;
}

void ProgressBar::Draw() {
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

void PrintNote(const std::string& text) {
  std::fprintf(stderr, "quillamar-cli: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace quillamar::cli
