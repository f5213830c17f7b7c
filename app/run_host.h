// The window's side of a conversion run: the host the run calls, carried out on the UI thread.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QThread>
#include <future>
#include <memory>

#include "app/MainUnit.h"
#include "framework/paths.h"

namespace quillamar::app {
namespace detail {

/// Runs `call` on the thread of `context` and waits for it; its result or exception is handed
/// back to the calling thread. On that thread itself, `call` simply runs. Should the call be
/// dropped unrun (its receiver gone), the wait ends with std::future_error instead of hanging.
template <typename Call>
auto OnThreadOf(QObject* context, Call call) -> decltype(call()) {
  using Result = decltype(call());
  if (QThread::currentThread() == context->thread()) return call();
  auto task = std::make_shared<std::packaged_task<Result()>>(std::move(call));
  std::future<Result> result = task->get_future();
  // Only the queued call owns the task, so a call that is dropped breaks the promise.
  QMetaObject::invokeMethod(
      context, [task = std::move(task)] { (*task)(); }, Qt::QueuedConnection);
  return result.get();
}

}  // namespace detail

/// The run's view of the window. Every call but the re-encoding touches widgets, so it goes through
/// the UI thread; the dialogs are skipped once the window is being destroyed.
class TForm1::Host : public batch::RunHost {
 public:
  Host(TForm1& form, QObject* sender) : form_(form), sender_(sender) {}

  std::string ChosenFilesText() override { return Text(form_.Edit2); }
  TStringList SourceFiles() override {
    TStringList files =
        OnUi([this] { return form_.SourceFiles ? *form_.SourceFiles : TStringList(); });
    pdf_count_ = files.Count();
    return files;
  }
  std::string OutputFolderText() override { return Text(form_.Edit1); }
  std::string FormatText() override {
    return OnUi([this] { return form_.ComboBox1->currentText().toStdString(); });
  }
  std::string ResolutionText() override {
    return OnUi([this] { return form_.ComboBox2->currentText().toStdString(); });
  }
  void SetStatusText(const std::string& text) override {
    OnUi([this, &text] { form_.ShowStatus(QString::fromStdString(text)); });
  }
  void RepaintNow() override {
    OnUi([this] { form_.repaint(); });
  }
  void SetProgressPosition(int position) override {
    OnUi([this, position] { form_.SetProgress(position, form_.progress_maximum_); });
  }
  void SetProgressMaximum(int maximum) override {
    OnUi([this, maximum] { form_.SetProgress(form_.progress_position_, maximum); });
  }
  void ShowMessage(const std::string& text) override {
    OnUi([this, &text] {
      if (!form_.destroying_) form_.dialogs_->ShowMessage(&form_, QString::fromStdString(text));
    });
  }
  // Gathered and shown once the run has ended, so that no box holds the run up.
  void ShowFailure(const std::string& text) override {
    OnUi([this, &text] { form_.failures_ << QString::fromStdString(text); });
  }
  void ChooseFiles() override {
    OnUi([this] {
      if (!form_.destroying_) form_.Button2Click(sender_);
    });
  }
  void ChooseFolder() override {
    OnUi([this] {
      if (!form_.destroying_) form_.Button3Click(sender_);
    });
  }
  void PdfStarted(const std::string&) override {
    ++pdfs_started_;
    OnUi([this] { form_.ResetPageLabel(); });
  }
  void PageProgress(int done, int total) override {
    OnUi([this, done, total] {
      form_.ShowPageProgress(pdfs_started_ - 1, pdf_count_, done, total);
    });
  }
  std::optional<std::string> AskPassword(const std::string& pdf, bool retry) override {
    return OnUi([this, &pdf, retry]() -> std::optional<std::string> {
      if (form_.destroying_) return std::nullopt;
      const std::optional<QString> answer =
          form_.dialogs_->AskPassword(&form_, QString::fromStdString(FileNameOf(pdf)), retry);
      if (!answer) return std::nullopt;
      return answer->toStdString();
    });
  }
  // Pages prepared ahead on the run's helper threads; nothing of the window is touched.
  std::unique_ptr<batch::PreparedPage> PrepareReencode(const std::string& png_path,
                                                       const std::string& jpg_path) override {
    return TForm1::PrepareReencode(png_path, jpg_path);
  }

 private:
  template <typename Call>
  auto OnUi(Call call) -> decltype(call()) {
    return detail::OnThreadOf(&form_, std::move(call));
  }
  std::string Text(QLineEdit* edit) {
    return OnUi([edit] { return edit->text().toStdString(); });
  }

  TForm1& form_;
  QObject* sender_;
  int pdf_count_ = 0;
  int pdfs_started_ = 0;
};

}  // namespace quillamar::app
