// The main window's layout, its scaling to the screen, its handlers, the error display and the
// re-encoding of one page.
#include "app/MainUnit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "app/run_host.h"
#include "framework/exceptions.h"
#include "framework/paths.h"

namespace quillamar::app {
namespace {

constexpr char kSong[] = "宋体";
constexpr char kHei[] = "黑体";
constexpr char kWindowFontFamily[] = "MS Sans Serif";
constexpr int kWindowFontHeight = 13;
/// The layout below is for this many dots per inch, where the window font's text is 16 high.
constexpr int kDesignDpi = 120;
constexpr int kDesignTextHeight = 16;
constexpr int kClientWidth = 561;
constexpr int kClientHeight = 256;

enum class Ink { kWindowText, kRed, kBlue };
enum class Sizing { kFixed, kToText };

/// One control's place and font at 120 dots per inch; a null family means the window font.
struct ControlLayout {
  const char* name;
  int left, top, width, height;
  const char* family;
  int font_height;
  Ink ink;
  bool bold;
  Sizing sizing;
};

constexpr std::array<ControlLayout, 17> kLayout{{
    {"Label1", 5, 151, 120, 20, kSong, 15, Ink::kWindowText, false, Sizing::kFixed},
    {"Label2", 5, 60, 120, 20, kSong, 15, Ink::kWindowText, false, Sizing::kFixed},
    {"Label3", 35, 113, 83, 15, kSong, 15, Ink::kWindowText, false, Sizing::kToText},
    {"Label4", 296, 113, 83, 15, kSong, 15, Ink::kWindowText, false, Sizing::kToText},
    {"Label5", 483, 111, 39, 15, kSong, 15, Ink::kWindowText, false, Sizing::kToText},
    {"Label6", 0, 10, 561, 37, kSong, 37, Ink::kRed, false, Sizing::kFixed},
    {"Label7", 129, 86, 392, 16, kSong, 15, Ink::kBlue, false, Sizing::kFixed},
    {"Label8", 0, 211, 553, 16, kSong, 15, Ink::kBlue, false, Sizing::kFixed},
    {"Label9", 16, 183, 369, 20, kHei, 20, Ink::kBlue, true, Sizing::kToText},
    {"Button1", 416, 175, 113, 33, kSong, 18, Ink::kWindowText, false, Sizing::kFixed},
    {"Edit1", 128, 144, 393, 23, kSong, 15, Ink::kWindowText, false, Sizing::kFixed},
    {"Edit2", 128, 56, 393, 25, kSong, 15, Ink::kWindowText, false, Sizing::kFixed},
    {"ComboBox1", 128, 108, 145, 23, kSong, 15, Ink::kWindowText, false, Sizing::kFixed},
    {"ComboBox2", 368, 108, 113, 23, kSong, 15, Ink::kWindowText, false, Sizing::kFixed},
    {"ProgressBar1", 0, 235, 561, 21, nullptr, 0, Ink::kWindowText, false, Sizing::kFixed},
    {"Button2", 520, 54, 28, 24, nullptr, 0, Ink::kWindowText, false, Sizing::kFixed},
    {"Button3", 522, 143, 28, 24, nullptr, 0, Ink::kWindowText, false, Sizing::kFixed},
}};

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setFocusPolicy(Qt::NoFocus);
  return label;
}

template <typename Widget>
Widget* MakeControl(QWidget* parent, const char* name) {
  auto* widget = new Widget(parent);
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

/// A flat button drawn as a link; it shows a focus frame, which a flat button otherwise lacks.
class LinkButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QPushButton::paintEvent(event);
    if (!hasFocus()) return;
    QStylePainter painter(this);
    QStyleOptionFocusRect frame;
    frame.initFrom(this);
    frame.backgroundColor = palette().color(QPalette::Window);
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, frame);
  }
};

template <typename Button = QPushButton>
Button* MakeButton(QWidget* parent, const char* name, const char* text) {
  auto* button = MakeControl<Button>(parent, name);
  button->setText(QString::fromUtf8(text));
  button->setAutoDefault(false);
  return button;
}

void Paint(QWidget* widget, Ink ink) {
  if (ink == Ink::kWindowText) return;
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, ink == Ink::kRed ? QColor(255, 0, 0) : QColor(0, 0, 255));
  widget->setPalette(palette);
}

/// Places one control by its row, every number scaled by text_height / 16.
void Place(QWidget* widget, const ControlLayout& row, int text_height) {
  const auto scale = [text_height](int value) {
    return ScaleValue(value, text_height, kDesignTextHeight);
  };
  if (row.family != nullptr) {
    QFont font(QString::fromUtf8(row.family));
    font.setPixelSize(std::max(1, scale(row.font_height)));
    font.setBold(row.bold);
    widget->setFont(font);
  }
  Paint(widget, row.ink);
  widget->move(scale(row.left), scale(row.top));
  if (row.sizing == Sizing::kToText) {
    widget->adjustSize();
    return;
  }
  // A label never cuts its line: faces with a tall line height get the room they need.
  const bool label = qobject_cast<QLabel*>(widget) != nullptr;
  const int height = label ? std::max(scale(row.height), QFontMetrics(widget->font()).height())
                           : scale(row.height);
  widget->setFixedSize(scale(row.width), height);
}

/// What a drop brought: the PDFs in their order, and how many items were left out.
struct DroppedPdfs {
  QStringList pdfs;
  int ignored = 0;
};

bool IsPdfFile(const QFileInfo& info) {
  return info.isFile() && info.suffix().compare(QLatin1String("pdf"), Qt::CaseInsensitive) == 0;
}

/// The PDFs among dropped items: PDF files as they are, and for each folder the PDFs directly
/// inside it, sorted by name. Anything else, a folder without PDFs included, is counted.
DroppedPdfs PdfsAmong(const QList<QUrl>& urls) {
  DroppedPdfs dropped;
  for (const QUrl& url : urls) {
    const QFileInfo info(url.toLocalFile());
    if (!url.isLocalFile() || !info.exists()) {
      ++dropped.ignored;
    } else if (info.isDir()) {
      const QFileInfoList inside = QDir(info.filePath()).entryInfoList(QDir::Files, QDir::Name);
      const qsizetype before = dropped.pdfs.size();
      for (const QFileInfo& entry : inside) {
        if (IsPdfFile(entry)) dropped.pdfs << entry.filePath();
      }
      if (dropped.pdfs.size() == before) ++dropped.ignored;
    } else if (IsPdfFile(info)) {
      dropped.pdfs << info.filePath();
    } else {
      ++dropped.ignored;
    }
  }
  return dropped;
}

// While set on a thread, ConvertPngToJpg hands its page over here instead of writing it: so the
// run's two-step re-encoding goes through the window's one-step method with the same bytes.
thread_local std::unique_ptr<batch::PreparedPage>* t_held_page = nullptr;

// Holds back ConvertPngToJpg's writes on this thread while it lives, the page going to `page`.
class HeldPage {
 public:
  explicit HeldPage(std::unique_ptr<batch::PreparedPage>& page) { t_held_page = &page; }
  ~HeldPage() { t_held_page = nullptr; }
  HeldPage(const HeldPage&) = delete;
  HeldPage& operator=(const HeldPage&) = delete;
};

}  // namespace

int ScaleValue(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const long long product = static_cast<long long>(number) * numerator;
  const long long half = std::llabs(denominator) / 2;
  const bool negative = (product < 0) != (denominator < 0);
  const long long magnitude = (std::llabs(product) + half) / std::llabs(denominator);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

std::optional<QString> ErrorDisplayText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    return std::nullopt;
  } catch (const Exception& e) {
    return QString::fromStdString(DisplayedMessage(e.Message()));
  } catch (const std::exception& e) {
    return QString::fromStdString(DisplayedMessage(e.what()));
  } catch (...) {
    return QObject::tr("An unexpected error ended the operation.");
  }
}

TForm1::TForm1(std::unique_ptr<Dialogs> dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      dialogs_(std::move(dialogs)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromUtf8(kFormCaption));
  CreateControls();
  ScaleToScreen();
  SetTabOrder();
  ConnectHandlers();
  UpdateControls();
}

TForm1::~TForm1() {
  if (!worker_.joinable()) return;
  destroying_ = true;
  stop_.Request();
  // The worker may be waiting for the UI thread, so the events go on until it has finished.
  // The worker posts an event as its last act, so waiting for events cannot hang.
  while (!worker_done_) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  if (worker_.joinable()) worker_.join();
}

void TForm1::CreateControls() {
  Label1 = MakeLabel(this, "Label1", "图片存放目录：");
  Label2 = MakeLabel(this, "Label2", "PDF文件(多选）：");
  Label3 = MakeLabel(this, "Label3", "转换格式： ");
  Label4 = MakeLabel(this, "Label4", "转换质量： ");
  Label5 = MakeLabel(this, "Label5", "DPI");
  Label6 = MakeLabel(this, "Label6", "Quillamar ");
  Label6->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label7 = MakeLabel(this, "Label7", " ");
  Label8 = MakeLabel(this, "Label8", " ");
  Label9 = MakeLabel(this, "Label9", "");
  Label9->setText(tr("转换中可随时按“停止”结束"));
  Button1 = MakeButton(this, "Button1", kConvertText);
  Edit1 = MakeControl<QLineEdit>(this, "Edit1");
  Edit2 = MakeControl<QLineEdit>(this, "Edit2");
  Edit2->setReadOnly(true);
  ComboBox1 = MakeControl<QComboBox>(this, "ComboBox1");
  ComboBox1->addItems(
      {QString::fromLatin1(batch::kJpgFormat), QString::fromLatin1(batch::kPngFormat)});
  ComboBox1->setCurrentIndex(0);
  ComboBox2 = MakeControl<QComboBox>(this, "ComboBox2");
  ComboBox2->setEditable(true);
  ComboBox2->setInsertPolicy(QComboBox::NoInsert);
  for (const char* dpi : {"24", "36", "48", "60", "72", "84", "96"}) {
    ComboBox2->addItem(QString::fromLatin1(dpi));
  }
  ComboBox2->setCurrentIndex(-1);
  ComboBox2->setEditText(QStringLiteral("72"));
  ProgressBar1 = MakeControl<QProgressBar>(this, "ProgressBar1");
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setRange(0, progress_maximum_);
  ProgressBar1->setValue(0);
  Button2 = MakeButton(this, "Button2", "...");
  Button3 = MakeButton(this, "Button3", "...");
  open_folder_ = MakeButton<LinkButton>(this, "OpenFolderButton", "");
  open_folder_->setText(QString::fromUtf8("打开图片文件夹"));  // a given text, never translated
  open_folder_->setFlat(true);
  open_folder_->setCursor(Qt::PointingHandCursor);
  open_folder_->hide();
  setAcceptDrops(true);
}

void TForm1::ScaleToScreen() {
  const QScreen* current = screen();
  const int dpi = current != nullptr ? qRound(current->logicalDotsPerInch()) : 96;
  QFont window_font(QString::fromLatin1(kWindowFontFamily));
  window_font.setPixelSize(std::max(1, ScaleValue(kWindowFontHeight, dpi, kDesignDpi)));
  setFont(window_font);
  const int text_height = QFontMetrics(window_font).height();
  for (const ControlLayout& row : kLayout) {
    Place(findChild<QWidget*>(QString::fromLatin1(row.name)), row, text_height);
  }
  const QSize client(ScaleValue(kClientWidth, text_height, kDesignTextHeight),
                     ScaleValue(kClientHeight, text_height, kDesignTextHeight));
  setFixedSize(client);
  // The progress bar lies along the bottom edge across the full width, whatever the rounding.
  ProgressBar1->setFixedWidth(client.width());
  ProgressBar1->move(0, client.height() - ProgressBar1->height());
  // Drawn as a link in the status colours: blue and underlined.
  QFont link_font = Label8->font();
  link_font.setUnderline(true);
  open_folder_->setFont(link_font);
  QPalette link_colour = open_folder_->palette();
  link_colour.setColor(QPalette::ButtonText, Label8->palette().color(QPalette::WindowText));
  open_folder_->setPalette(link_colour);
  open_folder_->adjustSize();
  open_folder_->move(Label9->pos());
  setAutoFillBackground(true);
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  if (current != nullptr) move(current->availableGeometry().center() - rect().center());
}

void TForm1::SetTabOrder() {
  const std::array<QWidget*, 7> order{Button1,   Edit1,   Edit2,  ComboBox1,
                                      ComboBox2, Button2, Button3};
  for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
  ProgressBar1->setFocusPolicy(Qt::NoFocus);
  Button1->setFocus(Qt::OtherFocusReason);
}

void TForm1::ConnectHandlers() {
  connect(Button1, &QPushButton::clicked, this,
          [this] { Guarded([this] { Button1Click(Button1); }); });
  connect(Button2, &QPushButton::clicked, this,
          [this] { Guarded([this] { Button2Click(Button2); }); });
  connect(Button3, &QPushButton::clicked, this,
          [this] { Guarded([this] { Button3Click(Button3); }); });
  connect(open_folder_, &QPushButton::clicked, this,
          [this] { Guarded([this] { OpenOutputFolder(); }); });
  connect(Button1, &QPushButton::pressed, this,
          [this] { press_meant_for_run_ = PressMeantForRun(); });
  for (QPushButton* button : {Button1, Button2, Button3, open_folder_}) {
    button->installEventFilter(this);
  }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  auto* button = qobject_cast<QPushButton*>(watched);
  if (button == nullptr || event->type() != QEvent::KeyPress) {
    return QWidget::eventFilter(watched, event);
  }
  const auto* key = static_cast<QKeyEvent*>(event);
  if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) {
    return QWidget::eventFilter(watched, event);
  }
  if (!key->isAutoRepeat()) button->animateClick();
  return true;
}

void TForm1::ShowStatus(const QString& text) {
  const QString shown =
      Label8->fontMetrics().elidedText(text, Qt::ElideMiddle, Label8->contentsRect().width());
  Label8->setText(shown);
  Label8->setToolTip(shown == text ? QString() : text);
}

template <typename Handler>
void TForm1::Guarded(Handler handler) {
  // Qt's event loop cannot carry exceptions: each handler's errors end at its edge.
  try {
    handler();
  } catch (...) {
    ShowException(std::current_exception());
  }
}

// Nothing raised while a run is finished may reach Qt's event loop.
void TForm1::FinishRunGuarded(std::exception_ptr error) {
  Guarded([this, error] { FinishRun(error); });
}

void TForm1::ShowException(std::exception_ptr error) {
  const std::optional<QString> text = ErrorDisplayText(error);
  if (text) dialogs_->ShowError(this, *text);
}

void TForm1::UpdateControls() {
  // The labels and the progress bar stay enabled, so the status remains readable during a run.
  const std::array<QWidget*, 6> inputs{Edit1, Edit2, ComboBox1, ComboBox2, Button2, Button3};
  for (QWidget* control : inputs) control->setEnabled(!running_);
  Button1->setText(QString::fromUtf8(running_ ? kStopText : kConvertText));
}

void TForm1::SetProgress(int position, int maximum) {
  progress_position_ = position;
  progress_maximum_ = maximum;
  if (page_progress_) return;  // the bar goes on with the pages
  const int top = std::max(maximum, 0);
  // A range of 0 to 0 would make the bar animate as busy; it shows empty instead.
  if (top == 0) {
    ProgressBar1->setRange(0, 1);
    ProgressBar1->setValue(0);
    return;
  }
  ProgressBar1->setRange(0, top);
  ProgressBar1->setValue(std::clamp(position, 0, top));
}

void TForm1::Button2Click(QObject*) {
  const std::optional<QStringList> chosen = dialogs_->ChoosePdfFiles(this, remembered_pdf_);
  if (!chosen || chosen->isEmpty()) return;
  ChoosePdfs(*chosen);
}

void TForm1::ChoosePdfs(const QStringList& paths) {
  if (!SourceFiles) {
    SourceFiles = std::make_unique<TStringList>();
  } else {
    SourceFiles->Clear();
  }
  for (const QString& path : paths) SourceFiles->Add(path.toStdString());
  remembered_pdf_ = paths.first();
  Label7->setText(QString());
  Edit2->setText(QString());
  for (const std::string& path : *SourceFiles) {
    Edit2->setText(Edit2->text() + QString::fromStdString(FileNameOf(path)) + QLatin1Char(';'));
  }
  Edit2->setCursorPosition(0);  // the box shows the first names
  Label7->setText(QString::fromUtf8(kFileCountPrefix) + QString::number(SourceFiles->Count()) +
                  QString::fromUtf8(kFileCountSuffix));
}

void TForm1::Button3Click(QObject*) {
  QString start;
  if (SourceFiles && SourceFiles->Count() > 0) {
    const std::string folder = FolderOf(SourceFiles->Strings(0));
    if (FolderExists(folder)) start = QString::fromStdString(folder);
  }
  const std::optional<QString> chosen = dialogs_->ChooseFolder(this, start);
  if (chosen) Edit1->setText(*chosen);
}

bool TForm1::NameClashesAccepted() {
  if (!SourceFiles) return true;
  QStringList clashes;
  for (const std::string& name : batch::FindNameClashes(*SourceFiles)) {
    QStringList folders;
    for (const std::string& pdf : *SourceFiles) {
      if (batch::BaseNameOf(pdf) == name) folders << QString::fromStdString(FolderOf(pdf));
    }
    clashes << tr("%1（%2）").arg(QString::fromStdString(name), folders.join(tr("、")));
  }
  return clashes.isEmpty() || dialogs_->ConfirmNameClashes(this, clashes);
}

void TForm1::ShowOpenFolder(bool shown) {
  Label9->setVisible(!shown);
  open_folder_->setVisible(shown);
}

bool TForm1::PressMeantForRun() const {
  return running_ || (since_run_end_.isValid() && since_run_end_.elapsed() < kPressAfterRunMs);
}

void TForm1::Button1Click(QObject* sender) {
  if (running_) {
    stop_.Request();
    return;
  }
  // A press that began while the run was going (or had only just ended) was meant for "停止".
  if (std::exchange(press_meant_for_run_, false)) return;
  // The run's own first steps, taken here already, so that the dialog opens over an idle window.
  if (Edit2->text().isEmpty()) {
    Button2Click(sender);
    return;
  }
  if (Edit1->text().isEmpty()) {
    Button3Click(sender);
    return;
  }
  const QString resolution = ComboBox2->currentText();
  if (!batch::IsUsableResolution(resolution.toStdString())) {
    dialogs_->ShowMessage(this, tr("分辨率“%1”无效：请填写 1 到 %2 之间的整数")
                                    .arg(resolution)
                                    .arg(contract::kMaxResolution));
    return;
  }
  if (!NameClashesAccepted()) return;
  StartRun(sender);
}

// Taken as a copy whatever the drag proposes, so that no file manager removes the dropped PDFs.
void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  if (running_ || !event->mimeData()->hasUrls()) return;
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TForm1::dropEvent(QDropEvent* event) {
  if (running_ || !event->mimeData()->hasUrls()) return;
  event->setDropAction(Qt::CopyAction);
  event->accept();
  const QList<QUrl> urls = event->mimeData()->urls();
  Guarded([this, &urls] { ChooseDropped(urls); });
}

void TForm1::ChooseDropped(const QList<QUrl>& urls) {
  const DroppedPdfs dropped = PdfsAmong(urls);
  if (!dropped.pdfs.isEmpty()) ChoosePdfs(dropped.pdfs);
  if (dropped.ignored > 0) Label8->setText(tr("已忽略 %n 个非PDF项目", "", dropped.ignored));
}

void TForm1::ChooseItems(const QStringList& paths) {
  QList<QUrl> urls;
  for (const QString& path : paths) urls << QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
  ChooseDropped(urls);
}

void TForm1::OpenOutputFolder() {
  if (dialogs_->OpenFolder(output_folder_)) return;
  dialogs_->ShowDetails(this, tr("无法打开图片文件夹，它在："), output_folder_);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!running_) {
    event->accept();
    return;
  }
  close_after_run_ = true;
  stop_.Request();
  event->ignore();
}

void TForm1::ConvertPngToJpg(const std::string& png_path, const std::string& jpg_path) {
  std::unique_ptr<batch::PreparedPage> page = batch::PreparePngToJpg(png_path, jpg_path);
  if (t_held_page != nullptr) {
    *t_held_page = std::move(page);
    return;
  }
  page->Commit();
}

std::unique_ptr<batch::PreparedPage> TForm1::PrepareReencode(const std::string& png_path,
                                                             const std::string& jpg_path) {
  std::unique_ptr<batch::PreparedPage> page;
  const HeldPage held(page);
  ConvertPngToJpg(png_path, jpg_path);
  return page;
}

}  // namespace quillamar::app
