// quillamar-cli started as a program: a copy beside a script renderer in a temporary folder.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/descriptors.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quillamar::cli {

using Strings = std::vector<std::string>;
using testing::ChildProcess;
using testing::ProcessResult;
using testing::ProcessSetup;
using testing::ReadFileText;
using testing::TempDir;

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
  // one; its outputs go to "stdout" and "stderr", with the tag appended to their names.
  std::unique_ptr<ChildProcess> Start(const Strings& arguments, const std::string& tag = "",
                                      ProcessSetup setup = {}) {
    Strings argv{dir_ / "bin/quillamar-cli"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    setup.folder = dir_.path();
    if (std::filesystem::exists(dir_ / "stdin")) setup.input = dir_ / "stdin";
    setup.out = dir_ / ("stdout" + tag);
    setup.err = dir_ / ("stderr" + tag);
    return std::make_unique<ChildProcess>(argv, std::move(setup));
  }

  ProcessResult RunCli(const Strings& arguments, ProcessSetup setup = {}) {
    return Start(arguments, "", std::move(setup))->Wait();
  }

  // Runs the program with its outputs on a new terminal this many columns wide; returns all it
  // wrote there (the terminal turns "\n" into "\r\n"), giving up after 30 s.
  std::string RunOnTerminal(const Strings& arguments, int columns) {
    const FileDescriptor master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    EXPECT_TRUE(master.Valid() && ::grantpt(master.Get()) == 0 && ::unlockpt(master.Get()) == 0);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    EXPECT_EQ(::ioctl(master.Get(), TIOCSWINSZ, &size), 0);
    ProcessSetup setup;
    setup.terminal = ::ptsname(master.Get());
    const std::unique_ptr<ChildProcess> cli = Start(arguments, "", setup);
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
    cli->Wait(std::chrono::seconds(0));
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
