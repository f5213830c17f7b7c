// The main window Form1: its controls, its handlers and its side of a conversion run.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/dialogs.h"
#include "batch/batch.h"
#include "framework/string_list.h"

class QCloseEvent;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QUrl;

namespace quillamar::app {

/// The application title: the product name and a contact note; captions every message box.
inline constexpr char kApplicationTitle[] = "Quillamar(意见与反馈：quillamar-dev@example.org)";
/// The window's caption.
inline constexpr char kFormCaption[] = "Quillamar";
/// Button1's texts: idle, and while a run is going.
inline constexpr char kConvertText[] = "转换";
inline constexpr char kStopText[] = "停止";
/// Label7 reads the prefix, the number of chosen files and the suffix.
inline constexpr char kFileCountPrefix[] = "共 ";
inline constexpr char kFileCountSuffix[] = " 个文件";

/// Rounds number * numerator / denominator to the nearest integer, halves away from zero (-1 for a
/// zero denominator); the window's layout is scaled with it.
int ScaleValue(int number, int numerator, int denominator);

/// What the error display shows for an exception: its message, with a "." added by the system's
/// rule; nullopt for EAbort, which is never shown.
std::optional<QString> ErrorDisplayText(std::exception_ptr error);

/// Makes SIGINT, SIGTERM and SIGHUP close every window, a running conversion being stopped first
/// (so its renderer ends too), instead of killing the program outright. Call once, after the
/// application object exists.
void CloseWindowsOnSignals();

/// The one main window. Its controls are laid out for 120 dots per inch and scaled at start-up to
/// the screen. A conversion run executes on a worker thread; every call the run makes of the window
/// is carried out on the UI thread, in the run's order, so the window repaints throughout and
/// Button1 can stop the run.
class TForm1 : public QWidget {
  Q_OBJECT

 public:
  /// `dialogs` answers every dialog and shows every box; tests pass their own.
  explicit TForm1(std::unique_ptr<Dialogs> dialogs = MakeQtDialogs(), QWidget* parent = nullptr);
  /// A run still going is stopped and waited for; no renderer outlives the window.
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
  QLabel* Label6;
  QLabel* Label7;
  QLabel* Label8;
  QLabel* Label9;
  QPushButton* Button1;
  QLineEdit* Edit1;
  QLineEdit* Edit2;
  QComboBox* ComboBox1;
  QComboBox* ComboBox2;
  QProgressBar* ProgressBar1;
  QPushButton* Button2;
  QPushButton* Button3;

  /// After a run has ended, a press of Button1 still counts as meant for "停止" (and starts
  /// nothing) for this long: such a press may arrive just after the run ended on its own.
  static constexpr int kPressAfterRunMs = 750;

  /// Convert: starts a run, or asks the running one to stop.
  void Button1Click(QObject* sender);
  /// Chooses the PDF files; cancel keeps the previous choice.
  void Button2Click(QObject* sender);
  /// Chooses the output folder, starting at the first PDF's folder; cancel keeps Edit1.
  void Button3Click(QObject* sender);

  /// Chooses the PDFs among these files and folders as a drop of them does (the file names the
  /// program is started with, as a file manager's "Open with" gives them).
  void ChooseItems(const QStringList& paths);
  /// The chosen PDFs' full paths; null before the first choice.
  const TStringList* ChosenFiles() const { return SourceFiles.get(); }
  /// The renderer the next runs start; empty means lib.dll beside the executable.
  void SetRendererPath(std::string path) { renderer_path_ = std::move(path); }
  bool Running() const { return running_; }
  /// The progress range and position as the run set them (the bar cannot show 0 to 0 itself).
  int ProgressMaximum() const { return progress_maximum_; }
  int ProgressPosition() const { return progress_position_; }
  /// Shown in Label9's place after a run that completed, until the next run: opens the folder.
  QPushButton* OpenFolderButton() const { return open_folder_; }

 signals:
  /// A run has ended and the controls are usable again (before any error is displayed).
  void RunEnded();

 protected:
  /// Closing during a run stops the run first; the window closes when it has ended.
  void closeEvent(QCloseEvent* event) override;
  /// Enter and keypad Enter press the focused push button, as Space does.
  bool eventFilter(QObject* watched, QEvent* event) override;
  /// Dropped PDFs are chosen as in the PDF dialog; a folder gives the PDFs directly inside it,
  /// sorted by name; anything else is left out with a note in the status line.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  class Host;

  void CreateControls();
  void ScaleToScreen();
  void SetTabOrder();
  void ConnectHandlers();
  /// Whether a press of Button1 at this moment belongs to the run going or just ended: such a
  /// press may stop that run, never start the next.
  bool PressMeantForRun() const;
  /// Label8's text; a text too long for it is cut in the middle with "…" (whole in its tool tip).
  void ShowStatus(const QString& text);
  /// Enables, disables and labels the controls for the run's state.
  void UpdateControls();
  void SetProgress(int position, int maximum);
  /// Chooses the PDFs among dropped items; the others are counted in the status line.
  void ChooseDropped(const QList<QUrl>& urls);
  /// Takes these PDFs as the choice: SourceFiles, Edit2 and Label7, as the PDF dialog sets them.
  void ChoosePdfs(const QStringList& paths);
  /// Whether to start although chosen PDFs share a base name (asks only when they do).
  bool NameClashesAccepted();
  /// Label9's notice, or in its place the button that opens the output folder.
  void ShowOpenFolder(bool shown);
  /// Shows where the run is inside PDF pdf_index (from 0) of pdf_count: Label9 reads the page
  /// count and the bar (pdf_index + done / total) / pdf_count, until the run ends.
  void ShowPageProgress(int pdf_index, int pdf_count, int done, int total);
  /// Gives Label9 its notice back and the bar the run's own range and position.
  void EndPageProgress();
  /// A PDF starts: Label9 no longer shows the previous PDF's pages.
  void ResetPageLabel();
  /// The run's failed PDFs, in one box, once it has ended.
  void ShowFailures();
  /// Opens the output folder; when that fails, shows its path to copy instead.
  void OpenOutputFolder();
  void StartRun(QObject* sender);
  /// The worker thread's whole life: the run, then a queued FinishRun with its error, if any.
  void Work(const batch::RunSettings& settings);
  void FinishRun(std::exception_ptr error);
  // FinishRun behind Guarded, as the worker posts it.
  void FinishRunGuarded(std::exception_ptr error);
  /// The error display, at the edge of every handler.
  void ShowException(std::exception_ptr error);
  template <typename Handler>
  void Guarded(Handler handler);

  /// Re-encodes one page through batch's page pipeline; uses nothing of the window, so the run
  /// calls it on its own threads. Called by PrepareReencode, it writes only on the page's Commit.
  static void ConvertPngToJpg(const std::string& png_path, const std::string& jpg_path);
  /// The run's re-encoding of one page in two steps, through ConvertPngToJpg: the page is read
  /// and encoded now, and written when the page handed back is committed.
  static std::unique_ptr<batch::PreparedPage> PrepareReencode(const std::string& png_path,
                                                              const std::string& jpg_path);

  std::unique_ptr<Dialogs> dialogs_;
  std::unique_ptr<TStringList> SourceFiles;
  QString remembered_pdf_;
  std::string renderer_path_;
  batch::StopSignal stop_;
  std::unique_ptr<Host> host_;
  std::thread worker_;
  std::atomic<bool> worker_done_{true};
  QPushButton* open_folder_ = nullptr;
  QString output_folder_;
  bool run_completed_ = false;  ///< written by the worker before it posts FinishRun
  int pages_written_ = 0;       ///< written by the worker before it posts FinishRun
  QStringList failures_;        ///< "转换失败：…" of the run going, shown once it has ended
  QElapsedTimer since_run_end_;
  bool press_meant_for_run_ = false;  ///< the press Button1 is in began during or just after a run
  bool running_ = false;
  bool close_after_run_ = false;
  bool destroying_ = false;
  int progress_position_ = 0;
  int progress_maximum_ = 100;
  bool page_progress_ = false;  ///< the bar shows pages (ShowPageProgress) until the run ends
  QString notice_;              ///< Label9's text while it shows pages
};

}  // namespace quillamar::app
