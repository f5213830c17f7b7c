// A run host that logs every call in order and answers from its fields, for tests of the run.
#pragma once

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/batch.h"
#include "framework/paths.h"
#include "support/temp_dir.h"

namespace quillamar::batch {

using Log = std::vector<std::string>;

/// Whether entry starts with one of the prefixes.
inline bool StartsWithAny(const std::string& entry,
                          std::initializer_list<std::string_view> prefixes) {
  const auto starts = [&entry](std::string_view prefix) { return entry.rfind(prefix, 0) == 0; };
  return std::any_of(prefixes.begin(), prefixes.end(), starts);
}

/// The entries of log that start with one of the prefixes, in their order.
inline Log Only(const Log& log, std::initializer_list<std::string_view> prefixes) {
  Log kept;
  for (const auto& entry : log) {
    if (StartsWithAny(entry, prefixes)) kept.push_back(entry);
  }
  return kept;
}

// Logs every call of the run, in order, and answers from its fields.
class RecordingHost : public RunHost {
 public:
  std::string chosen_text = "a.pdf;";
  TStringList files;
  std::string folder;
  std::string format = "PNG";
  std::string resolution = "72";
  std::function<void(const std::string&)> on_status;
  std::function<void(const std::string& png, const std::string& jpg)> on_reencode;
  /// Called as a page is prepared, on the thread that prepares it.
  std::function<void(const std::string& png)> on_prepare;
  std::deque<std::optional<std::string>> passwords;  ///< answers in turn; none left skips
  Log log;

  std::string ChosenFilesText() override { return Record("ChosenFilesText", chosen_text); }
  TStringList SourceFiles() override {
    log.push_back("SourceFiles");
    return files;
  }
  std::string OutputFolderText() override { return Record("OutputFolderText", folder); }
  std::string FormatText() override { return Record("FormatText", format); }
  std::string ResolutionText() override { return Record("ResolutionText", resolution); }
  void SetStatusText(const std::string& text) override {
    log.push_back("Status " + text);
    if (on_status) on_status(text);
  }
  void RepaintNow() override { log.push_back("Repaint"); }
  void SetProgressPosition(int position) override {
    log.push_back("Position " + std::to_string(position));
  }
  void SetProgressMaximum(int maximum) override {
    log.push_back("Maximum " + std::to_string(maximum));
  }
  void ShowMessage(const std::string& text) override { log.push_back("Message " + text); }
  void ReportWarning(const std::string& text) override { log.push_back("Warning " + text); }
  void ChooseFiles() override { log.push_back("ChooseFiles"); }
  void ChooseFolder() override { log.push_back("ChooseFolder"); }
  // Nothing happens ahead: the page is read, logged and written when it is committed, on the
  // run's thread.
  std::unique_ptr<PreparedPage> PrepareReencode(const std::string& png,
                                                const std::string& jpg) override {
    if (on_prepare) on_prepare(png);
    return std::make_unique<CommittedLater>(*this, png, jpg);
  }
  void PageProgress(int done, int total) override {
    log.push_back("Pages " + std::to_string(done) + "/" + std::to_string(total));
  }

  struct CommittedLater : PreparedPage {
    CommittedLater(RecordingHost& host, std::string png, std::string jpg)
        : host(host), png(std::move(png)), jpg(std::move(jpg)) {}
    void Commit() override {
      host.log.push_back("Reencode " + FileNameOf(png) + " " + FileNameOf(jpg));
      if (host.on_reencode) host.on_reencode(png, jpg);
      std::ofstream(jpg) << "jpeg of " << testing::ReadFileText(png);
    }
    RecordingHost& host;
    std::string png, jpg;
  };

  std::optional<std::string> AskPassword(const std::string& pdf, bool retry) override {
    log.push_back("AskPassword " + FileNameOf(pdf) + (retry ? " again" : ""));
    if (passwords.empty()) return std::nullopt;
    std::optional<std::string> answer = passwords.front();
    passwords.pop_front();
    return answer;
  }

  // The calls that show something or change files: what a user would notice.
  Log Visible() const {
    Log visible;
    std::copy_if(log.begin(), log.end(), std::back_inserter(visible), IsVisible);
    return visible;
  }
  static bool IsVisible(const std::string& entry) {
    return StartsWithAny(entry, {"Status", "Position", "Maximum", "Message", "Choose", "Reencode",
                                 "AskPassword", "Warning"});
  }

 private:
  std::string Record(const char* call, const std::string& answer) {
    log.push_back(call);
    return answer;
  }
};

// A front end with fixed answers that re-encodes the pages for real and keeps its messages.
class ConvertingHost : public RunHost {
 public:
  ConvertingHost(std::string folder, TStringList files, std::string format = "JPG",
                 std::string resolution = "72")
      : resolution(std::move(resolution)),
        folder_(std::move(folder)),
        files_(std::move(files)),
        format_(std::move(format)) {}

  std::string ChosenFilesText() override { return "chosen;"; }
  TStringList SourceFiles() override { return files_; }
  std::string OutputFolderText() override { return folder_; }
  std::string FormatText() override { return format_; }
  std::string ResolutionText() override { return resolution; }
  void SetStatusText(const std::string&) override {}
  void RepaintNow() override {}
  void SetProgressPosition(int) override {}
  void SetProgressMaximum(int) override {}
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ChooseFiles() override {}
  void ChooseFolder() override {}
  std::unique_ptr<PreparedPage> PrepareReencode(const std::string& png,
                                                const std::string& jpg) override {
    return PreparePngToJpg(png, jpg);
  }

  std::string resolution;
  std::vector<std::string> messages;

 protected:
  std::string folder_;

 private:
  TStringList files_;
  std::string format_;
};

// Every file of the folder with its contents, as one text.
inline std::string FolderContents(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const auto& name : names) text += name + ": " + testing::ReadFileText(folder + "/" + name);
  return text;
}

// A renderer that copies the page files prepared in the folder's "pages" (N.png for page N) into
// place and says nothing; its path.
inline std::string CopyingRenderer(const testing::TempDir& dir) {
  return dir.Write("bin/lib.dll",
                   "#!/bin/sh\nfor f in '" + dir / "pages" +
                       "'/*.png; do cp \"$f\" \"${2%\\%d.png}$(basename \"$f\" .png).png\"; done\n",
                   /*executable=*/true);
}

}  // namespace quillamar::batch
