// quillamar-screenshot: the main window after a real run, grabbed into a PNG for the documentation.
// Usage: quillamar-screenshot OUT.png FOLDER PDF... (the pages go to FOLDER; meant for the
// offscreen platform, see scripts/screenshot.sh).
#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "app/MainUnit.h"
#include "app/dialogs.h"

namespace {

/// Answers nothing and opens nothing: each message or error goes to standard error and counts.
class NoDialogs : public quillamar::app::Dialogs {
 public:
  int shown = 0;

  std::optional<QStringList> ChoosePdfFiles(QWidget*, const QString&) override { return {}; }
  std::optional<QString> ChooseFolder(QWidget*, const QString&) override { return {}; }
  void ShowMessage(QWidget*, const QString& text) override { Print(text); }
  void ShowError(QWidget*, const QString& text) override { Print(text); }
  std::optional<QString> AskPassword(QWidget*, const QString&, bool) override { return {}; }
  bool ConfirmNameClashes(QWidget*, const QStringList&) override { return true; }
  bool OpenFolder(const QString&) override { return true; }
  void ShowDetails(QWidget*, const QString& heading, const QString& details) override {
    Print(heading + "\n" + details);
  }

 private:
  void Print(const QString& text) {
    ++shown;
    std::fprintf(stderr, "quillamar-screenshot: %s\n", qPrintable(text));
  }
};

constexpr int kRunDeadlineMs = 60'000;

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() < 4) {
    std::fputs("usage: quillamar-screenshot OUT.png FOLDER PDF...\n", stderr);
    return 2;
  }
  auto owned_dialogs = std::make_unique<NoDialogs>();
  NoDialogs& dialogs = *owned_dialogs;
  quillamar::app::TForm1 form(std::move(owned_dialogs));
  form.ChooseItems(arguments.mid(3));
  form.Edit1->setText(arguments[2]);
  form.show();
  // The run ends on its own; the deadline keeps a stuck one from hanging the caller.
  QObject::connect(&form, &quillamar::app::TForm1::RunEnded, &application, &QApplication::quit,
                   Qt::QueuedConnection);
  QTimer::singleShot(kRunDeadlineMs, &application, [] { QApplication::exit(1); });
  QTimer::singleShot(0, &form, [&form] { form.Button1->click(); });
  if (QApplication::exec() != 0) {
    std::fputs("quillamar-screenshot: the run did not end in time\n", stderr);
    return 1;
  }
  if (dialogs.shown > 0 || !form.grab().save(arguments[1], "PNG")) return 1;
  return 0;
}
