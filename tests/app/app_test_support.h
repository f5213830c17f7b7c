// Helpers for the window's tests: dialogs that answer at once, a window built with them, and
// shell-script renderers.
#pragma once

#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "app/MainUnit.h"
#include "app/dialogs.h"

namespace quillamar::app::testing {

/// How long a test waits for a run to end before it fails.
constexpr int kRunTimeoutMs = 30000;

/// Writes an executable shell script and returns its path.
inline QString WriteScript(const QString& path, const QString& body) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return {};
  file.write(("#!/bin/sh\n" + body).toUtf8());
  file.close();
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return path;
}

/// The file's text; empty when it cannot be read.
inline QString ReadText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

inline QString Utf8(const char* text) { return QString::fromUtf8(text); }

/// Answers the window's dialogs from queues and records what the window asked and showed. An
/// empty queue, an empty list or a null folder answers "cancel".
class FakeDialogs : public Dialogs {
 public:
  std::deque<QStringList> pdf_answers;
  std::deque<QString> folder_answers;
  /// Answers to the password question in turn; a null string (or none left) is "取消".
  std::deque<QString> password_answers;
  bool continue_despite_clashes = true;
  bool folder_opens = true;  ///< whether a file manager shows the folder
  /// Called instead of answering when set, for example to throw.
  std::function<void()> on_choose_pdf;
  std::function<void()> on_choose_folder;
  QStringList pdf_preselected;  ///< what stood in the file-name box at each opening
  QStringList folder_starts;    ///< the starting folder at each opening
  QStringList messages;
  QStringList errors;
  QStringList password_questions;  ///< the PDF's name, with " again" after a wrong answer
  QList<QStringList> clash_questions;
  QStringList opened_folders;
  QStringList details;  ///< each box of details: its heading, a line end, its details

  std::optional<QStringList> ChoosePdfFiles(QWidget*, const QString& preselected) override {
    pdf_preselected << preselected;
    if (on_choose_pdf) on_choose_pdf();
    const QStringList answer = Next(pdf_answers);
    if (answer.isEmpty()) return std::nullopt;
    return answer;
  }
  std::optional<QString> ChooseFolder(QWidget*, const QString& start) override {
    folder_starts << start;
    if (on_choose_folder) on_choose_folder();
    const QString answer = Next(folder_answers);
    if (answer.isNull()) return std::nullopt;
    return answer;
  }
  void ShowMessage(QWidget*, const QString& text) override { messages << text; }
  void ShowError(QWidget*, const QString& text) override { errors << text; }
  std::optional<QString> AskPassword(QWidget*, const QString& pdf_name, bool retry) override {
    password_questions << pdf_name + (retry ? " again" : "");
    const QString answer = Next(password_answers);
    if (answer.isNull()) return std::nullopt;
    return answer;
  }
  bool ConfirmNameClashes(QWidget*, const QStringList& clashes) override {
    clash_questions << clashes;
    return continue_despite_clashes;
  }
  bool OpenFolder(const QString& folder) override {
    opened_folders << folder;
    return folder_opens;
  }
  void ShowDetails(QWidget*, const QString& heading, const QString& text) override {
    details << heading + "\n" + text;
  }

 private:
  template <typename Answer>
  static Answer Next(std::deque<Answer>& answers) {
    if (answers.empty()) return Answer();
    Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

/// A window whose dialogs the test answers.
struct TestWindow {
  TestWindow() {
    auto fake = std::make_unique<FakeDialogs>();
    dialogs = fake.get();
    form = std::make_unique<TForm1>(std::move(fake));
  }
  FakeDialogs* dialogs;
  std::unique_ptr<TForm1> form;
};

/// Each test's own window, whose dialogs it answers, and its own folder for files: opened at the
/// start of each test, closed at its end.
class WindowFixture {
 protected:
  void OpenWindow() {
    window_ = std::make_unique<TestWindow>();
    folder_ = std::make_unique<QTemporaryDir>();
  }
  void CloseWindow() {
    window_.reset();
    folder_.reset();
  }
  TForm1& form() { return *window_->form; }
  FakeDialogs& dialogs() { return *window_->dialogs; }
  QString Path(const QString& name) const { return folder_->path() + "/" + name; }
  /// Chooses the PDFs as the PDF dialog would, and the output folder when one is given.
  void Choose(const QStringList& pdfs, const QString& folder = QString()) {
    dialogs().pdf_answers.push_back(pdfs);
    form().Button2Click(nullptr);
    if (!folder.isNull()) form().Edit1->setText(folder);
  }
  /// Presses Convert and waits until the run has ended.
  void Convert() {
    QSignalSpy ended(&form(), &TForm1::RunEnded);
    QTest::mouseClick(form().Button1, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kRunTimeoutMs);
  }
  /// The chosen PDFs' paths; none before the first choice.
  QStringList Chosen() {
    QStringList paths;
    if (form().ChosenFiles() == nullptr) return paths;
    for (const std::string& path : *form().ChosenFiles()) paths << QString::fromStdString(path);
    return paths;
  }

  /// A renderer that logs its arguments (one line per start), runs `before`, then writes `pages`
  /// page files.
  void UseRenderer(int pages, const QString& before = QString()) {
    const QString body = QStringLiteral(
                             "echo \"$@\" >> '%1'\n%2i=1\nwhile [ $i -le %3 ]; do\n"
                             "  echo page > \"$(printf \"$2\" $i)\"; i=$((i+1))\ndone\n")
                             .arg(Path("renderer.log"), before, QString::number(pages));
    form().SetRendererPath(WriteScript(Path("renderer.sh"), body).toStdString());
  }
  /// How often the renderer has been started.
  qsizetype RendererStarts() const { return ReadText(Path("renderer.log")).count('\n'); }

  std::unique_ptr<TestWindow> window_;
  std::unique_ptr<QTemporaryDir> folder_;
};

}  // namespace quillamar::app::testing
