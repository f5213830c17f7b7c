// Dropping files and folders onto the window (real drop events on the offscreen platform), and
// naming them on the command line ("Open with"), which must choose as a drop does.
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "app_test_support.h"

namespace quillamar::app::testing {

class DropTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void init() {
    OpenWindow();
    for (const char* name : {"a.pdf", "b.PDF", "notes.txt", "docs/c.pdf", "docs/a.pdf",
                             "docs/readme.txt", "docs/inner/d.pdf", "empty/x.txt"}) {
      QDir().mkpath(QFileInfo(Path(name)).path());
      QFile(Path(name)).open(QIODevice::WriteOnly);
    }
  }
  void cleanup() { CloseWindow(); }

  // Names in a row are relative to the test's folder; the chosen files are full paths. Each row
  // is taken once dropped and once as the program's command line ("Open with").
  void droppingChoosesAsTheDialogDoes_data() {
    QTest::addColumn<bool>("command_line");
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("chosen");
    QTest::addColumn<QString>("edit2");
    QTest::addColumn<QString>("label7");
    QTest::addColumn<QString>("status");
    for (const bool line : {false, true}) {
      const char* way = line ? "command line" : "drop";
      QTest::addRow("%s: PDFs in their order, a folder's own PDFs sorted", way)
          << line << QStringList{"b.PDF", "a.pdf", "docs/"}
          << QStringList{"b.PDF", "a.pdf", "docs/a.pdf", "docs/c.pdf"} << "b.PDF;a.pdf;a.pdf;c.pdf;"
          << Utf8("共 4 个文件") << " ";
      QTest::addRow("%s: others left out with a note", way)
          << line << QStringList{"notes.txt", "a.pdf", "empty", "missing.pdf"}
          << QStringList{"a.pdf"} << "a.pdf;" << Utf8("共 1 个文件")
          << Utf8("已忽略 3 个非PDF项目");
      QTest::addRow("%s: nothing usable keeps the choice", way)
          << line << QStringList{"notes.txt"} << QStringList{} << ""
          << " " << Utf8("已忽略 1 个非PDF项目");
    }
  }
  void droppingChoosesAsTheDialogDoes() {
    QFETCH(bool, command_line);
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, chosen);
    QFETCH(QString, edit2);
    QFETCH(QString, label7);
    QFETCH(QString, status);
    if (command_line) {
      // Names as a shell in the test's folder gives them: relative to the working folder.
      const QString before = QDir::currentPath();
      QDir::setCurrent(Path(""));
      form().ChooseItems(dropped);
      QDir::setCurrent(before);
    } else {
      Drop(dropped);
      if (QTest::currentTestFailed()) return;
    }

    QStringList expected;
    for (const QString& name : chosen) expected << Path(name);
    QCOMPARE(Chosen(), expected);
    QCOMPARE(form().Edit2->text(), edit2);
    QCOMPARE(form().Label7->text(), label7);
    QCOMPARE(form().Label8->text(), status);
    // The PDF dialog opens with the first dropped PDF in its file-name box, as after a choice.
    form().Button2Click(nullptr);
    QCOMPARE(dialogs().pdf_preselected, QStringList{expected.value(0)});
  }

 private:
  void Drop(const QStringList& names) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& name : names) urls << QUrl::fromLocalFile(Path(name));
    data.setUrls(urls);

    // The drag proposes a move (Shift held); the window takes a copy all the same.
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(QPoint(10, 10), actions, &data, Qt::LeftButton, Qt::ShiftModifier);
    QCOMPARE(enter.proposedAction(), Qt::MoveAction);
    QApplication::sendEvent(&form(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), actions, &data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(&form(), &drop);
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
    QCOMPARE(drop.dropAction(), Qt::CopyAction);
  }
};

}  // namespace quillamar::app::testing

QTEST_MAIN(quillamar::app::testing::DropTest)
#include "drop_test.moc"
