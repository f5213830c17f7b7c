// quillamar-cli started as a program: a copy beside a script renderer in a temporary folder.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "framework/descriptors.h"
#include "support/temp_dir.h"

extern char** environ;

namespace quillamar::cli {

using Strings = std::vector<std::string>;
using testing::ReadFileText;
using testing::TempDir;

// The exit statuses scripts rely on, written out so that a changed number fails the tests.
constexpr int kStatusConverted = 0;
constexpr int kStatusError = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusSomeFailed = 3;
constexpr int kStatusInterrupted = 130;

// What a finished program left.
struct Finished {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// A copy of quillamar-cli in a temporary folder, with a script as its lib.dll.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "bin");
    std::filesystem::copy_file(std::string(QUILLAMAR_BIN_DIR) + "/quillamar-cli",
                               dir_ / "bin/quillamar-cli");
  }

  // The renderer records its arguments, one per line, and writes pages 1 and 2.
  void RecordingRenderer(const std::string& ending = "exit 0") {
    dir_.Write("bin/lib.dll",
               "#!/bin/sh\n"
               "printf '%s\\n' \"$@\" >> \"$(dirname \"$0\")/args\"\n"
               "for n in 1 2; do echo page > \"${2%\\%d.png}$n.png\"; done\n" +
                   ending + "\n",
               /*executable=*/true);
  }

  // Starts the program in the folder with standard input from the file "stdin" when there is
  // one; its outputs go to "stdout" and "stderr", with the tag appended to their names, or both
  // to the terminal named.
  pid_t Start(const Strings& arguments, const std::string& tag = "",
              const std::string& terminal = "") {
    Strings argv_texts{"quillamar-cli"};
    argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argv_texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.path().c_str());
    const std::string input = dir_ / "stdin";
    posix_spawn_file_actions_addopen(
        &actions, 0, std::filesystem::exists(input) ? input.c_str() : "/dev/null", O_RDONLY, 0);
    if (terminal.empty()) {
      posix_spawn_file_actions_addopen(&actions, 1, (dir_ / ("stdout" + tag)).c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
      posix_spawn_file_actions_addopen(&actions, 2, (dir_ / ("stderr" + tag)).c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    const std::string program = dir_ / "bin/quillamar-cli";
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  Finished Wait(pid_t pid, const std::string& tag = "") {
    int status = 0;
    waitpid(pid, &status, 0);
    Finished finished;
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    finished.out = ReadFileText(dir_ / ("stdout" + tag));
    finished.err = ReadFileText(dir_ / ("stderr" + tag));
    return finished;
  }

  Finished RunCli(const Strings& arguments) { return Wait(Start(arguments)); }

  // Runs the program with its outputs on a new terminal this many columns wide; returns all it
  // wrote there (the terminal turns "\n" into "\r\n"), giving up after 30 s.
  std::string RunOnTerminal(const Strings& arguments, int columns) {
    const FileDescriptor master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    EXPECT_TRUE(master.Valid() && ::grantpt(master.Get()) == 0 && ::unlockpt(master.Get()) == 0);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    EXPECT_EQ(::ioctl(master.Get(), TIOCSWINSZ, &size), 0);
    const pid_t pid = Start(arguments, "", ::ptsname(master.Get()));
    std::string screen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{master.Get(), POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      const ssize_t got = ::read(master.Get(), buffer, sizeof buffer);
      if (got <= 0) break;  // the terminal's last writer has gone
      screen.append(buffer, static_cast<std::size_t>(got));
    }
    if (::waitpid(pid, nullptr, WNOHANG) == 0) ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return screen;
  }

  // The PDFs the recording renderer was given, in order (seven arguments per start).
  Strings RenderedPdfs() const {
    std::istringstream args(ReadFileText(dir_ / "bin/args"));
    Strings pdfs;
    int index = 0;
    for (std::string line; std::getline(args, line); ++index) {
      if (index % 7 == 6) pdfs.push_back(line);
    }
    return pdfs;
  }

  TempDir dir_;
};

}  // namespace quillamar::cli
