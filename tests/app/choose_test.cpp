// Choosing the PDF files and the output folder: the handlers through the dialog seam, and the
// program's own PDF dialog and folder browser as they are set up.
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "app_test_support.h"

namespace quillamar::app::testing {

class ChooseTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void init() { OpenWindow(); }
  void cleanup() { CloseWindow(); }

  // Each answer of the PDF dialog in turn (the paths joined by ';', empty for cancel), then the
  // choice, Edit2, Label7 and what stood in the dialog's file-name box at each opening.
  void choosingFiles_data() {
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("chosen");
    QTest::addColumn<QString>("edit2");
    QTest::addColumn<QString>("label7");
    QTest::addColumn<QStringList>("preselected");
    QTest::newRow("one") << QStringList{"/a/x.pdf"} << QStringList{"/a/x.pdf"} << Utf8("x.pdf;")
                         << Utf8("共 1 个文件") << QStringList{""};
    QTest::newRow("several") << QStringList{"/a/x.pdf;/b/y.PDF;/c/z"}
                             << QStringList{"/a/x.pdf", "/b/y.PDF", "/c/z"}
                             << Utf8("x.pdf;y.PDF;z;") << Utf8("共 3 个文件") << QStringList{""};
    QTest::newRow("duplicates") << QStringList{"/a/x.pdf;/a/x.pdf"}
                                << QStringList{"/a/x.pdf", "/a/x.pdf"} << Utf8("x.pdf;x.pdf;")
                                << Utf8("共 2 个文件") << QStringList{""};
    QTest::newRow("chinese and blanks")
        << QStringList{Utf8("/文档/会议 纪要.pdf")} << QStringList{Utf8("/文档/会议 纪要.pdf")}
        << Utf8("会议 纪要.pdf;") << Utf8("共 1 个文件") << QStringList{""};
    QTest::newRow("cancel first") << QStringList{""} << QStringList{} << QString() << " "
                                  << QStringList{""};
    QTest::newRow("cancel keeps the choice")
        << QStringList{"/a/x.pdf;/a/y.pdf", ""} << QStringList{"/a/x.pdf", "/a/y.pdf"}
        << Utf8("x.pdf;y.pdf;") << Utf8("共 2 个文件") << QStringList{"", "/a/x.pdf"};
    QTest::newRow("choosing again replaces")
        << QStringList{"/a/x.pdf;/a/y.pdf;/a/z.pdf", "", "/b/w.pdf", ""} << QStringList{"/b/w.pdf"}
        << Utf8("w.pdf;") << Utf8("共 1 个文件")
        << QStringList{"", "/a/x.pdf", "/a/x.pdf", "/b/w.pdf"};
  }
  void choosingFiles() {
    QFETCH(QStringList, answers);
    QFETCH(QStringList, chosen);
    QFETCH(QString, edit2);
    QFETCH(QString, label7);
    QFETCH(QStringList, preselected);
    for (const QString& answer : answers) {
      dialogs().pdf_answers.push_back(answer.split(QLatin1Char(';'), Qt::SkipEmptyParts));
      QTest::mouseClick(form().Button2, Qt::LeftButton);
    }
    QCOMPARE(Chosen(), chosen);
    QCOMPARE(form().ChosenFiles() != nullptr, !chosen.isEmpty());
    QCOMPARE(form().Edit2->text(), edit2);
    QCOMPARE(form().Label7->text(), label7);
    QCOMPARE(dialogs().pdf_preselected, preselected);
  }

  // Where the folder browser starts; a cancelled choice keeps Edit1, a confirmed one fills it.
  void folderBrowserStartAndAnswer_data() {
    QTest::addColumn<QString>("pdf");  // empty: no PDF chosen yet
    QTest::addColumn<QString>("start");
    const QString existing = QDir::tempPath();
    QTest::newRow("nothing chosen") << QString() << QString();
    QTest::newRow("existing folder") << existing + "/a.pdf" << existing;
    QTest::newRow("missing folder") << existing + "/no-such-folder-q1/a.pdf" << QString();
    QTest::newRow("root") << QStringLiteral("/a.pdf") << QStringLiteral("/");
  }
  void folderBrowserStartAndAnswer() {
    QFETCH(QString, pdf);
    QFETCH(QString, start);
    if (!pdf.isEmpty()) {
      dialogs().pdf_answers.push_back(QStringList{pdf, "/other/b.pdf"});
      form().Button2Click(nullptr);
    }
    form().Edit1->setText(QStringLiteral("/typed/before"));
    form().Button3Click(nullptr);
    QCOMPARE(dialogs().folder_starts, QStringList{start});
    QCOMPARE(form().Edit1->text(), QStringLiteral("/typed/before"));  // cancelled
    dialogs().folder_answers.push_back(QStringLiteral("/"));
    QTest::mouseClick(form().Button3, Qt::LeftButton);
    QCOMPARE(form().Edit1->text(), QStringLiteral("/"));  // confirmed
  }

  void pdfDialogPosition_data() {
    QTest::addColumn<QRect>("monitor");
    QTest::addColumn<QSize>("dialog");
    QTest::addColumn<QPoint>("expected");
    QTest::newRow("primary") << QRect(0, 0, 1920, 1080) << QSize(800, 500) << QPoint(560, 193);
    QTest::newRow("second monitor")
        << QRect(1920, -200, 1280, 1024) << QSize(601, 400) << QPoint(2259, 8);
    // Truncation toward zero: -100 / 3 is -33, not -34.
    QTest::newRow("larger than monitor")
        << QRect(0, 0, 800, 600) << QSize(1001, 700) << QPoint(-100, -33);
  }
  void pdfDialogPosition() {
    QFETCH(QRect, monitor);
    QFETCH(QSize, dialog);
    QFETCH(QPoint, expected);
    QCOMPARE(PdfDialogPosition(monitor, dialog), expected);
  }

  void pdfDialogSetUp() {
    const QString remembered = Path("first.pdf");
    const std::unique_ptr<QFileDialog> dialog = MakePdfDialog(&form(), remembered);
    QCOMPARE(dialog->windowTitle(), Utf8("选择要转换成图片的PDF文档"));
    QCOMPARE(dialog->nameFilters(), QStringList{Utf8("PDF文档 (*.pdf)")});
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
    QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
    QCOMPARE(dialog->directory().absolutePath(), QDir(folder_->path()).absolutePath());
    QCOMPARE(dialog->selectedFiles(), QStringList{remembered});
  }

  void pdfDialogAcceptsTypedNamesOfMissingFiles() {
    const std::unique_ptr<QFileDialog> dialog = MakePdfDialog(&form(), QString());
    dialog->setDirectory(folder_->path());
    dialog->selectFile(QStringLiteral("missing.pdf"));
    static_cast<QDialog*>(dialog.get())->accept();
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QCOMPARE(dialog->selectedFiles(), QStringList{Path("missing.pdf")});
  }

  void pdfDialogStillOpensATypedFolder() {
    QVERIFY(QDir(folder_->path()).mkdir(QStringLiteral("sub")));
    const std::unique_ptr<QFileDialog> dialog = MakePdfDialog(&form(), QString());
    dialog->setDirectory(folder_->path());
    dialog->selectFile(QStringLiteral("sub"));
    static_cast<QDialog*>(dialog.get())->accept();
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QCOMPARE(dialog->directory().absolutePath(), QDir(Path("sub")).absolutePath());
  }

  void folderBrowserOpensAtItsStartOrAtHome() {
    const std::unique_ptr<QFileDialog> at_start = MakeFolderBrowser(&form(), QDir::tempPath());
    QCOMPARE(at_start->windowTitle(), Utf8("请选择图片存放的文件夹"));
    QCOMPARE(at_start->fileMode(), QFileDialog::Directory);
    QCOMPARE(at_start->directory().absolutePath(), QDir(QDir::tempPath()).absolutePath());
    const std::unique_ptr<QFileDialog> at_home = MakeFolderBrowser(&form(), QString());
    QCOMPARE(at_home->directory().absolutePath(), QDir::home().absolutePath());
  }
};

}  // namespace quillamar::app::testing

QTEST_MAIN(quillamar::app::testing::ChooseTest)
#include "choose_test.moc"
