// The window's questions around a run: chosen PDFs that share a name, the password of a locked
// PDF (with the program's own renderer), and the way to the output folder afterwards.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "app_test_support.h"

namespace quillamar::app::testing {
class AskTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void init() {
    OpenWindow();
    form().ComboBox1->setCurrentIndex(1);  // PNG
    form().ComboBox2->setEditText(QStringLiteral("10"));
    form().show();
  }
  void cleanup() { CloseWindow(); }

  void nameClashesAreAskedAboutOnce_data() {
    QTest::addColumn<bool>("go_on");
    QTest::newRow("continue") << true;
    QTest::newRow("cancel") << false;
  }
  void nameClashesAreAskedAboutOnce() {
    QFETCH(bool, go_on);
    UseRenderer(1);
    dialogs().continue_despite_clashes = go_on;
    // z/A.pdf differs from the a.pdf files in case only: no clash.
    Choose({Path("x/a.pdf"), Path("y/a.pdf"), Path("b.pdf"), Path("x/b.pdf"), Path("z/A.pdf")},
           Path("new/out"));
    QTest::mouseClick(form().Button1, Qt::LeftButton);
    if (go_on) QTRY_VERIFY_WITH_TIMEOUT(!form().Running(), kRunTimeoutMs);
    // Each name with the folders of its PDFs.
    const QString a = Utf8("a（%1/x、%1/y）").arg(folder_->path());
    const QString b = Utf8("b（%1、%1/x）").arg(folder_->path());
    QCOMPARE(dialogs().clash_questions, QList<QStringList>{QStringList({a, b})});
    QCOMPARE(RendererStarts(), go_on ? 5 : 0);
    QCOMPARE(QDir(Path("new/out")).exists(), go_on);  // cancel writes nothing at all
    QCOMPARE(form().Label8->text(), go_on ? Utf8("已完成！") : QStringLiteral(" "));
  }

  void lockedPdfAsksForItsPassword_data() {
    QTest::addColumn<QStringList>("answers");  // a null string cancels
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<bool>("converted");
    const QString name = QStringLiteral("encrypted_user_password.pdf");
    QTest::newRow("right") << QStringList{"openpassword"} << QStringList{name} << true;
    QTest::newRow("wrong then right")
        << QStringList{"open", "openpassword"} << QStringList{name, name + " again"} << true;
    QTest::newRow("cancel") << QStringList{QString()} << QStringList{name} << false;
    QTest::newRow("wrong then cancel")
        << QStringList{"open", QString()} << QStringList{name, name + " again"} << false;
  }
  void lockedPdfAsksForItsPassword() {
    QFETCH(QStringList, answers);
    QFETCH(QStringList, asked);
    QFETCH(bool, converted);
    dialogs().password_answers.assign(answers.begin(), answers.end());
    const QString pdf = QStringLiteral(QUILLAMAR_TESTDATA "/pdfs/encrypted_user_password.pdf");
    Choose({pdf}, Path("out"));
    Convert();
    QCOMPARE(dialogs().password_questions, asked);
    QCOMPARE(QFile::exists(Path("out/encrypted_user_password_1.png")), converted);
    // A skipped PDF: its failure in the box after the run, and no folder offered without pages.
    const QStringList failure{
        Utf8("1 个PDF文件转换失败：\n转换失败：encrypted_user_password.pdf\n") + pdf +
        ": protected by a password"};
    QCOMPARE(dialogs().details, converted ? QStringList() : failure);
    QVERIFY(dialogs().messages.isEmpty());
    QCOMPARE(form().OpenFolderButton()->isVisible(), converted);
  }

  void passwordQuestionHidesWhatIsTyped() {
    const std::unique_ptr<QInputDialog> dialog =
        MakePasswordDialog(&form(), Utf8("报告.pdf"), /*retry=*/true);
    QCOMPARE(dialog->textEchoMode(), QLineEdit::Password);
    QVERIFY(dialog->labelText().contains(Utf8("报告.pdf")));
    QCOMPARE(dialog->cancelButtonText(), Utf8("取消"));
  }

  void completedRunOffersTheOutputFolderUntilTheNextRun() {
    UseRenderer(1);
    QVERIFY(!form().OpenFolderButton()->isVisible());
    Choose({Path("a.pdf")});
    const QString working_folder = QDir::currentPath();
    QDir::setCurrent(folder_->path());
    form().Edit1->setText(QStringLiteral("./out/../pages"));
    Convert();
    QDir::setCurrent(working_folder);
    QVERIFY(form().OpenFolderButton()->isVisible());
    QVERIFY(!form().Label9->isVisible());
    QTest::mouseClick(form().OpenFolderButton(), Qt::LeftButton);
    QCOMPARE(dialogs().opened_folders, QStringList{QDir::cleanPath(Path("pages"))});
    QVERIFY(dialogs().messages.isEmpty() && dialogs().errors.isEmpty() &&
            dialogs().details.isEmpty() && dialogs().clash_questions.isEmpty());
    // Without a file manager the folder's path is shown to copy.
    dialogs().folder_opens = false;
    QTest::mouseClick(form().OpenFolderButton(), Qt::LeftButton);
    QCOMPARE(dialogs().details,
             QStringList{Utf8("无法打开图片文件夹，它在：\n") + QDir::cleanPath(Path("pages"))});

    // A run that an error ends before any renderer, shown after it, takes the offer back and
    // leaves the window usable with its notice.
    form().Edit1->setText(QStringLiteral("quillamar-no-such-relative-folder"));
    QTest::qWait(TForm1::kPressAfterRunMs);
    Convert();
    QCOMPARE(dialogs().errors, QStringList{"Unable to create directory."});
    QCOMPARE(RendererStarts(), 1);  // the first run's start only
    QVERIFY(!form().OpenFolderButton()->isVisible());
    QVERIFY(form().Label9->isVisible() && form().Edit1->isEnabled());
    QCOMPARE(form().Button1->text(), Utf8("转换"));
  }
};

}  // namespace quillamar::app::testing

QTEST_MAIN(quillamar::app::testing::AskTest)
#include "ask_test.moc"
