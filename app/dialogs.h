// The window's modal dialogs behind one small interface, so that tests can answer them.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QFileDialog;
class QInputDialog;
class QWidget;

namespace quillamar::app {

/// Every question the window asks the user and every box it shows. The window owns one; the
/// program's own opens Qt's widget dialogs, tests substitute one that answers at once.
class Dialogs {
 public:
  virtual ~Dialogs() = default;

  /// The PDF dialog: full paths in the order chosen, or nullopt on cancel. `preselected` is the
  /// path that stands in the file-name box (empty the first time).
  virtual std::optional<QStringList> ChoosePdfFiles(QWidget* owner, const QString& preselected) = 0;
  /// The folder browser: the confirmed folder, or nullopt on cancel. `start` is the folder shown
  /// first; empty when there is none.
  virtual std::optional<QString> ChooseFolder(QWidget* owner, const QString& start) = 0;
  /// A modal message with one OK button, titled with the application title.
  virtual void ShowMessage(QWidget* owner, const QString& text) = 0;
  /// The error display: a critical message box with one OK button.
  virtual void ShowError(QWidget* owner, const QString& text) = 0;
  /// The password of a locked PDF, typed without echo; nullopt on "取消". `pdf_name` stands in
  /// the question; `retry` says that the previous answer did not open it.
  virtual std::optional<QString> AskPassword(QWidget* owner, const QString& pdf_name,
                                             bool retry) = 0;
  /// Asks once whether to convert although PDFs share base names (the later one's pages replace
  /// the earlier one's); each entry names one base name and the folders of its PDFs. False on
  /// cancel.
  virtual bool ConfirmNameClashes(QWidget* owner, const QStringList& clashes) = 0;
  /// Shows the folder in the desktop's file manager; false when none could be asked to.
  virtual bool OpenFolder(const QString& folder) = 0;
  /// A modal box with one OK button: the heading, and below it the details in a read-only text
  /// field that scrolls when long and can be copied from.
  virtual void ShowDetails(QWidget* owner, const QString& heading, const QString& details) = 0;
};

/// The dialogs the program uses: Qt's own widget dialogs, modal to the application.
std::unique_ptr<Dialogs> MakeQtDialogs();

/// The PDF dialog, set up but not shown: multi-selection, one filter, resizable, modal to the
/// application, and accepting typed names of files that do not exist.
std::unique_ptr<QFileDialog> MakePdfDialog(QWidget* owner, const QString& preselected);

/// The folder browser, set up but not shown: folders only, confirming only existing ones, opening
/// at `start` when it is not empty.
std::unique_ptr<QFileDialog> MakeFolderBrowser(QWidget* owner, const QString& start);

/// The password question, set up but not shown: no echo, the PDF's name in the question,
/// "取消" to skip it.
std::unique_ptr<QInputDialog> MakePasswordDialog(QWidget* owner, const QString& pdf_name,
                                                 bool retry);

/// Where the PDF dialog goes on a monitor: centred across, a third of the free height from the top
/// (both divisions truncate toward zero).
QPoint PdfDialogPosition(const QRect& monitor, const QSize& dialog);

/// The texts of the PDF dialog and the folder browser.
inline constexpr char kPdfDialogTitle[] = "选择要转换成图片的PDF文档";
inline constexpr char kPdfDialogFilter[] = "PDF文档 (*.pdf)";
inline constexpr char kFolderPrompt[] = "请选择图片存放的文件夹";
/// The buttons of our own questions: our own texts, shown through their translations.
inline constexpr char kOkText[] = QT_TRANSLATE_NOOP("Dialogs", "确定");
inline constexpr char kCancelText[] = QT_TRANSLATE_NOOP("Dialogs", "取消");
inline constexpr char kContinueText[] = QT_TRANSLATE_NOOP("Dialogs", "继续");

}  // namespace quillamar::app
