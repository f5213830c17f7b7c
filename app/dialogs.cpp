// The program's own dialogs: Qt's widget file dialogs and message boxes, modal to the application.
#include "app/dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "app/MainUnit.h"

namespace quillamar::app {
namespace {

/// The PDF dialog. It accepts typed names of files that do not exist (the run hands them to the
/// renderer like any other), and places itself on the monitor of the window that opened it.
class PdfDialog : public QFileDialog {
 public:
  explicit PdfDialog(QWidget* owner) : QFileDialog(owner), anchor_(QApplication::activeWindow()) {
    if (anchor_ == nullptr) anchor_ = owner;
  }

  void accept() override {
    const QStringList files = selectedFiles();
    const auto is_folder = [](const QString& path) { return QFileInfo(path).isDir(); };
    const auto is_missing = [](const QString& path) { return !QFileInfo::exists(path); };
    // Folders still open as usual; the base class would refuse names of missing files.
    if (!files.isEmpty() && std::none_of(files.begin(), files.end(), is_folder) &&
        std::any_of(files.begin(), files.end(), is_missing)) {
      QDialog::accept();
      return;
    }
    QFileDialog::accept();
  }

 protected:
  void showEvent(QShowEvent* event) override {
    QFileDialog::showEvent(event);
    const QScreen* monitor = anchor_ != nullptr ? anchor_->screen() : screen();
    if (monitor != nullptr) move(PdfDialogPosition(monitor->geometry(), frameGeometry().size()));
  }

 private:
  QWidget* anchor_;
};

class QtDialogs : public Dialogs {
 public:
  std::optional<QStringList> ChoosePdfFiles(QWidget* owner, const QString& preselected) override {
    const std::unique_ptr<QFileDialog> dialog = MakePdfDialog(owner, preselected);
    if (dialog->exec() != QDialog::Accepted) return std::nullopt;
    return dialog->selectedFiles();
  }

  std::optional<QString> ChooseFolder(QWidget* owner, const QString& start) override {
    const std::unique_ptr<QFileDialog> browser = MakeFolderBrowser(owner, start);
    if (browser->exec() != QDialog::Accepted || browser->selectedFiles().isEmpty()) {
      return std::nullopt;
    }
    return QDir::toNativeSeparators(browser->selectedFiles().first());
  }

  void ShowMessage(QWidget* owner, const QString& text) override {
    Show(owner, QMessageBox::NoIcon, text);
  }

  void ShowError(QWidget* owner, const QString& text) override {
    Show(owner, QMessageBox::Critical, text);
  }

  std::optional<QString> AskPassword(QWidget* owner, const QString& pdf_name, bool retry) override {
    const std::unique_ptr<QInputDialog> dialog = MakePasswordDialog(owner, pdf_name, retry);
    if (dialog->exec() != QDialog::Accepted) return std::nullopt;
    return dialog->textValue();
  }

  bool ConfirmNameClashes(QWidget* owner, const QStringList& clashes) override {
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(kApplicationTitle),
                    QApplication::translate("Dialogs",
                                            "以下PDF文件同名，后转换的图片将覆盖先转换的：\n%1\n"
                                            "是否继续？")
                        .arg(clashes.join(QLatin1Char('\n'))),
                    QMessageBox::NoButton, owner);
    const QPushButton* go_on =
        box.addButton(QApplication::translate("Dialogs", kContinueText), QMessageBox::AcceptRole);
    box.setDefaultButton(
        box.addButton(QApplication::translate("Dialogs", kCancelText), QMessageBox::RejectRole));
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return box.clickedButton() == go_on;
  }

  bool OpenFolder(const QString& folder) override {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
  }

  void ShowDetails(QWidget* owner, const QString& heading, const QString& details) override {
    QDialog box(owner);
    box.setWindowTitle(QString::fromUtf8(kApplicationTitle));
    box.setWindowModality(Qt::ApplicationModal);
    auto* layout = new QVBoxLayout(&box);
    layout->addWidget(new QLabel(heading, &box));
    auto* text = new QPlainTextEdit(details, &box);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &box);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    layout->addWidget(buttons);
    box.exec();
  }

 private:
  static void Show(QWidget* owner, QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, QString::fromUtf8(kApplicationTitle), text, QMessageBox::Ok, owner);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
  }
};

}  // namespace

std::unique_ptr<Dialogs> MakeQtDialogs() { return std::make_unique<QtDialogs>(); }

std::unique_ptr<QFileDialog> MakePdfDialog(QWidget* owner, const QString& preselected) {
  auto dialog = std::make_unique<PdfDialog>(owner);
  dialog->setWindowTitle(QString::fromUtf8(kPdfDialogTitle));
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setFileMode(QFileDialog::ExistingFiles);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setNameFilter(QString::fromUtf8(kPdfDialogFilter));
  dialog->setSizeGripEnabled(true);
  dialog->setWindowModality(Qt::ApplicationModal);
  if (!preselected.isEmpty()) dialog->selectFile(preselected);
  return dialog;
}

std::unique_ptr<QFileDialog> MakeFolderBrowser(QWidget* owner, const QString& start) {
  auto browser = std::make_unique<QFileDialog>(owner, QString::fromUtf8(kFolderPrompt));
  browser->setOption(QFileDialog::DontUseNativeDialog);
  browser->setFileMode(QFileDialog::Directory);
  browser->setOption(QFileDialog::ShowDirsOnly);
  browser->setWindowModality(Qt::ApplicationModal);
  browser->setDirectory(start.isEmpty() ? QDir::homePath() : start);
  return browser;
}

std::unique_ptr<QInputDialog> MakePasswordDialog(QWidget* owner, const QString& pdf_name,
                                                 bool retry) {
  auto dialog = std::make_unique<QInputDialog>(owner);
  dialog->setWindowTitle(QString::fromUtf8(kApplicationTitle));
  dialog->setInputMode(QInputDialog::TextInput);
  dialog->setTextEchoMode(QLineEdit::Password);
  const char* question =
      retry ? "密码不正确。请重新输入“%1”的密码：" : "“%1”受密码保护，请输入密码：";
  dialog->setLabelText(QApplication::translate("Dialogs", question).arg(pdf_name));
  dialog->setOkButtonText(QApplication::translate("Dialogs", kOkText));
  dialog->setCancelButtonText(QApplication::translate("Dialogs", kCancelText));
  dialog->setWindowModality(Qt::ApplicationModal);
  return dialog;
}

QPoint PdfDialogPosition(const QRect& monitor, const QSize& dialog) {
  // Integer division truncates toward zero, also when the dialog is larger than the monitor.
  return {monitor.left() + (monitor.width() - dialog.width()) / 2,
          monitor.top() + (monitor.height() - dialog.height()) / 3};
}

}  // namespace quillamar::app
