// Starting, following and finishing a conversion run on its worker thread.
#include "app/run_host.h"

#include <QDir>
#include <QFileInfo>
#include <QProgressBar>
#include <algorithm>
#include <thread>
#include <utility>

namespace quillamar::app {

void TForm1::StartRun(QObject* sender) {
  stop_.Reset();
  host_ = std::make_unique<Host>(*this, sender);
  batch::RunSettings settings;
  settings.renderer_path = renderer_path_;
  settings.stop = &stop_;
  running_ = true;
  worker_done_ = false;
  run_completed_ = false;
  pages_written_ = 0;
  failures_.clear();
  ShowOpenFolder(false);
  UpdateControls();
  try {
    worker_ = std::thread([this, settings] { Work(settings); });
  } catch (...) {
    running_ = false;  // no thread could be started: the window stays usable
    worker_done_ = true;
    UpdateControls();
    throw;
  }
}

void TForm1::Work(const batch::RunSettings& settings) {
  std::exception_ptr error;
  try {
    const batch::RunResult result = batch::Run(*host_, settings);
    run_completed_ = result.outcome == batch::RunOutcome::kCompleted;
    pages_written_ = result.pages_written;
  } catch (...) {
    error = std::current_exception();
  }
  worker_done_ = true;
  QMetaObject::invokeMethod(
      this, [this, error] { FinishRunGuarded(error); }, Qt::QueuedConnection);
}

void TForm1::FinishRun(std::exception_ptr error) {
  // The worker posts this as its last act, so joining here waits only for its return.
  if (worker_.joinable()) worker_.join();
  host_.reset();
  if (destroying_) return;
  EndPageProgress();
  running_ = false;
  since_run_end_.start();
  UpdateControls();
  // The folder is offered only when there is something in it to see.
  if (run_completed_ && pages_written_ > 0) {
    output_folder_ = QDir::cleanPath(QFileInfo(Edit1->text()).absoluteFilePath());
    ShowOpenFolder(true);
  }
  emit RunEnded();
  ShowFailures();
  if (error) ShowException(error);
  if (close_after_run_) close();
}

void TForm1::ShowPageProgress(int pdf_index, int pdf_count, int done, int total) {
  constexpr int kStepsPerPdf = 1000;
  if (!page_progress_) notice_ = Label9->text();
  page_progress_ = true;
  Label9->setText(tr("第 %1/%2 页").arg(done).arg(total));
  Label9->adjustSize();
  const int count = std::max(pdf_count, 1);
  const long long within = total > 0 ? static_cast<long long>(done) * kStepsPerPdf / total : 0;
  ProgressBar1->setRange(0, count * kStepsPerPdf);
  ProgressBar1->setValue(static_cast<int>(
      std::clamp<long long>(pdf_index * kStepsPerPdf + within, 0, count * kStepsPerPdf)));
}

void TForm1::ShowFailures() {
  if (failures_.isEmpty()) return;
  const QString heading = tr("%n 个PDF文件转换失败：", "", static_cast<int>(failures_.size()));
  dialogs_->ShowDetails(this, heading, failures_.join(QStringLiteral("\n\n")));
  failures_.clear();
}

void TForm1::ResetPageLabel() {
  if (page_progress_) Label9->setText(notice_);
}

void TForm1::EndPageProgress() {
  if (!page_progress_) return;
  page_progress_ = false;
  Label9->setText(notice_);
  Label9->adjustSize();
  SetProgress(progress_position_, progress_maximum_);
}

}  // namespace quillamar::app
