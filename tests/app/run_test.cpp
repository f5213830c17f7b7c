// Convert from the window: the error display, the early exits, whole runs with script renderers
// on the worker thread, and stopping a run by Button1, by closing and by destroying the window.
#include <signal.h>
#include <sys/wait.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <stdexcept>

#include "app_test_support.h"
#include "framework/exceptions.h"

namespace quillamar::app::testing {
namespace {

enum class Stop { kButton, kClose, kSignal, kDestroy };

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

// Whether the file is a whole JPEG or PNG, as its name says, by its first and last bytes.
bool CompletePage(const QString& path) {
  QFile file(path);
  const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  if (path.endsWith(".jpg")) return bytes.startsWith("\xff\xd8\xff") && bytes.endsWith("\xff\xd9");
  return path.endsWith(".png") && bytes.startsWith("\x89PNG\r\n\x1a\n") &&
         bytes.right(8) == QByteArray("IEND\xae\x42\x60\x82", 8);
}

}  // namespace

class RunTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void init() {
    OpenWindow();
    form().ComboBox1->setCurrentIndex(1);  // PNG unless a test wants JPG
    form().show();
  }
  void cleanup() { CloseWindow(); }

  void errorDisplayText_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("full stop added") << 0 << "Unable to create directory"
                                     << "Unable to create directory.";
    QTest::newRow("ends in bracket") << 0 << "JPEG error #(42)"
                                     << "JPEG error #(42)";
    QTest::newRow("ends in chinese") << 0 << Utf8("转换失败") << Utf8("转换失败.");
    QTest::newRow("other exception") << 1 << "bad_alloc"
                                     << "bad_alloc.";
    QTest::newRow("abort is silent") << 2 << "never shown" << QString();
  }
  void errorDisplayText() {
    QFETCH(int, kind);
    QFETCH(QString, message);
    QFETCH(QString, shown);
    const std::string text = message.toStdString();
    std::exception_ptr error;
    if (kind == 0) error = std::make_exception_ptr(EInOutError(text));
    if (kind == 1) error = std::make_exception_ptr(std::runtime_error(text));
    if (kind == 2) error = std::make_exception_ptr(EAbort(text));
    const std::optional<QString> display = ErrorDisplayText(error);
    QCOMPARE(display.has_value(), kind != 2);
    if (display) QCOMPARE(*display, shown);
  }

  void errorLeavingAHandlerIsShownAndTheWindowStaysUsable() {
    dialogs().on_choose_pdf = [] { throw EFOpenError("Cannot open file \"/x\". No access"); };
    QTest::mouseClick(form().Button2, Qt::LeftButton);
    dialogs().on_choose_pdf = [] { throw EAbort("silent"); };
    QTest::mouseClick(form().Button2, Qt::LeftButton);
    QCOMPARE(dialogs().errors, QStringList{"Cannot open file \"/x\". No access."});
    dialogs().on_choose_pdf = nullptr;
    dialogs().pdf_answers.push_back(QStringList{"/a/x.pdf"});
    QTest::mouseClick(form().Button2, Qt::LeftButton);
    QCOMPARE(form().Edit2->text(), QStringLiteral("x.pdf;"));
  }

  // With nothing chosen, or no folder, Convert offers that choice only, over an idle window:
  // Button1 never reads "停止" meanwhile.
  void convertOffersTheMissingChoiceOnly_data() {
    QTest::addColumn<bool>("pdfs_chosen");
    QTest::newRow("no PDFs") << false;
    QTest::newRow("no folder") << true;
  }
  void convertOffersTheMissingChoiceOnly() {
    QFETCH(bool, pdfs_chosen);
    UseRenderer(1);
    if (pdfs_chosen) Choose({Path("a.pdf")});
    if (!pdfs_chosen) form().Edit1->setText(Path("out"));
    dialogs().pdf_answers.push_back(QStringList{Path("a.pdf")});
    dialogs().folder_answers.push_back(Path("out"));
    const auto note_button = [this] { button_during_dialog_ = form().Button1->text(); };
    dialogs().on_choose_pdf = dialogs().on_choose_folder = note_button;
    QTest::mouseClick(form().Button1, Qt::LeftButton);
    QCOMPARE(button_during_dialog_, Utf8("转换"));
    QVERIFY(!form().Running());
    QCOMPARE(dialogs().pdf_preselected.size(), 1);  // by Choose() or by Convert, once
    QCOMPARE(dialogs().folder_starts, pdfs_chosen ? QStringList{folder_->path()} : QStringList());
    QCOMPARE(form().Edit2->text(), QStringLiteral("a.pdf;"));
    QCOMPARE(form().Edit1->text(), Path("out"));
    QVERIFY(!QFile::exists(Path("renderer.log")));
    QCOMPARE(form().Label8->text(), QStringLiteral(" "));
  }

  // Three PDFs, the second held back by its renderer so the window can be seen mid-run.
  void wholeRunShowsItsProgressAndWritesThePages() {
    UseRenderer(2, QStringLiteral("case \"$7\" in *b.pdf) while [ ! -e '%1' ]; do sleep 0.02; "
                                  "done;; esac\n")
                       .arg(Path("go")));
    Choose({Path("a.pdf"), Path("b.pdf"), Path("c.pdf")}, Path("out/deeper"));
    form().ComboBox2->setEditText(QStringLiteral("150"));
    QSignalSpy ended(&form(), &TForm1::RunEnded);
    QTest::mouseClick(form().Button1, Qt::LeftButton);

    QTRY_COMPARE_WITH_TIMEOUT(form().Label8->text(), Utf8("正在转换 b.pdf"), kRunTimeoutMs);
    QCOMPARE(form().Button1->text(), Utf8("停止"));
    QVERIFY(form().Button1->isEnabled());
    for (const char* input : {"Edit1", "Edit2", "ComboBox1", "ComboBox2", "Button2", "Button3"}) {
      QVERIFY2(!form().findChild<QWidget*>(input)->isEnabled(), input);
    }
    QCOMPARE(form().ProgressMaximum(), 2);
    QCOMPARE(form().ProgressPosition(), 0);
    QCOMPARE(form().ProgressBar1->maximum(), 2);
    QFile(Path("go")).open(QIODevice::WriteOnly);

    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kRunTimeoutMs);
    QCOMPARE(form().Label8->text(), Utf8("已完成！"));
    QCOMPARE(form().ProgressPosition(), 0);
    QCOMPARE(form().ProgressBar1->value(), 0);
    QCOMPARE(form().Button1->text(), Utf8("转换"));
    QVERIFY(form().Edit1->isEnabled() && form().Button2->isEnabled());
    for (const char* page : {"a_1", "a_2", "b_1", "b_2", "c_1", "c_2"}) {
      QVERIFY2(QFile::exists(Path("out/deeper/%1.png").arg(page)), page);
    }
    // Later PDFs may have been rendered ahead, into a staging folder of the output folder.
    QStringList calls = ReadText(Path("renderer.log"))
                            .replace(QRegularExpression("/\\.quillamar-ahead/run-[^/]+/\\d+"), "")
                            .split('\n', Qt::SkipEmptyParts);
    calls.sort();
    const QString pattern = Path("out/deeper/%1_%d.png -F png -r 150 ");
    QCOMPARE(calls, QStringList({"-o " + pattern.arg("a") + Path("a.pdf"),
                                 "-o " + pattern.arg("b") + Path("b.pdf"),
                                 "-o " + pattern.arg("c") + Path("c.pdf")}));
    QVERIFY(!QFileInfo::exists(Path("out/deeper/.quillamar-ahead")));
    QVERIFY(dialogs().errors.isEmpty() && dialogs().messages.isEmpty());
  }

  // A renderer that announces its pages: Label9 counts them and the bar fills within the PDF,
  // then both return to what they showed. The next PDF, of a name too long for the status line,
  // fails before it announces any: Label9 shows no pages meanwhile, and its failure comes in one
  // box after the run.
  void pagesAnnouncedShowInLabel9AndTheBar() {
    const QString body =
        QStringLiteral(
            "case \"$7\" in *a.pdf) echo 'pages 2' >&3\nfor i in 1 2; do echo page > $(printf "
            "\"$2\" $i); echo \"page $i\" >&3; done\nwhile [ ! -e '%1' ]; do sleep 0.02; done;;\n"
            "*) while [ ! -e '%1b' ]; do sleep 0.02; done; echo \"lib.dll: $7: damaged\" >&2; "
            "exit 1;; esac\n")
            .arg(Path("go"));
    form().SetRendererPath(WriteScript(Path("renderer.sh"), body).toStdString());
    const QString long_name = "b" + Utf8("长").repeated(80) + ".pdf";
    Choose({Path("a.pdf"), Path(long_name)}, Path("out"));
    const QString notice = form().Label9->text();
    QSignalSpy ended(&form(), &TForm1::RunEnded);
    QTest::mouseClick(form().Button1, Qt::LeftButton);

    QTRY_COMPARE_WITH_TIMEOUT(form().Label9->text(), Utf8("第 2/2 页"), kRunTimeoutMs);
    QCOMPARE(form().Label8->text(), Utf8("正在转换 a.pdf"));
    // Half the bar: PDF 1 of 2 with all of its pages.
    QCOMPARE(2 * (form().ProgressBar1->value() - form().ProgressBar1->minimum()),
             form().ProgressBar1->maximum() - form().ProgressBar1->minimum());
    QFile(Path("go")).open(QIODevice::WriteOnly);

    QTRY_VERIFY_WITH_TIMEOUT(form().Label8->text().startsWith(Utf8("正在转换 b长")), kRunTimeoutMs);
    QCOMPARE(form().Label9->text(), notice);
    const QLabel* status = form().Label8;
    QVERIFY(status->text().contains(Utf8("…")) && status->text().endsWith(".pdf"));
    QVERIFY(status->fontMetrics().horizontalAdvance(status->text()) <=
            status->contentsRect().width());
    QFile(Path("gob")).open(QIODevice::WriteOnly);

    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kRunTimeoutMs);
    QCOMPARE(form().Label9->text(), notice);
    QCOMPARE(form().Label8->text(), Utf8("已完成！"));
    QCOMPARE(form().ProgressBar1->maximum(), 1);
    QCOMPARE(form().ProgressBar1->value(), 0);
    QVERIFY(dialogs().messages.isEmpty());
    QCOMPARE(dialogs().details, QStringList{Utf8("1 个PDF文件转换失败：\n转换失败：") + long_name +
                                            "\n" + Path(long_name) + ": damaged"});
    QVERIFY(form().OpenFolderButton()->isVisible());  // a.pdf's pages are there
  }

  // A press that began while the run was going, or just after it ended, never starts the next
  // run: the mouse held down across the end, and Space pressed right after it.
  void pressMeantForStopStartsNoRun_data() {
    QTest::addColumn<bool>("held_across_end");
    QTest::newRow("mouse held across the end") << true;
    QTest::newRow("space just after the end") << false;
  }
  void pressMeantForStopStartsNoRun() {
    QFETCH(bool, held_across_end);
    UseRenderer(1, QStringLiteral("while [ ! -e '%1' ]; do sleep 0.02; done\n").arg(Path("go")));
    Choose({Path("a.pdf")}, Path("out"));
    QSignalSpy ended(&form(), &TForm1::RunEnded);
    QTest::mouseClick(form().Button1, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(Path("renderer.log")), kRunTimeoutMs);
    if (held_across_end) QTest::mousePress(form().Button1, Qt::LeftButton);
    QFile(Path("go")).open(QIODevice::WriteOnly);
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kRunTimeoutMs);
    if (held_across_end) {
      QTest::mouseRelease(form().Button1, Qt::LeftButton);
    } else {
      QTest::keyClick(form().Button1, Qt::Key_Space);
    }
    QVERIFY(!form().Running());
    // Once the run is well over, a press starts the next one as usual.
    QTest::qWait(TForm1::kPressAfterRunMs);
    Convert();
    QCOMPARE(RendererStarts(), 2);
  }

  // The resolution is checked once, before anything starts.
  void unusableResolutionIsRefusedBeforeAnything_data() {
    QTest::addColumn<QString>("resolution");
    for (const char* text : {"abc", "0", "-5", "150dpi", "2401", ""}) {
      QTest::addRow("'%s'", text) << QString::fromLatin1(text);
    }
  }
  void unusableResolutionIsRefusedBeforeAnything() {
    QFETCH(QString, resolution);
    UseRenderer(1);
    Choose({Path("a.pdf"), Path("b.pdf")}, Path("out"));
    form().ComboBox2->setEditText(resolution);
    QTest::mouseClick(form().Button1, Qt::LeftButton);
    QVERIFY(!form().Running());
    QCOMPARE(dialogs().messages,
             QStringList{Utf8("分辨率“%1”无效：请填写 1 到 2400 之间的整数").arg(resolution)});
    QVERIFY(!QFile::exists(Path("renderer.log")));
  }

  // A renderer that cannot start is reported as the run goes; one PDF leaves the bar empty, not
  // busy (its range would be 0 to 0).
  void onePdfWithoutARendererLeavesAnEmptyBarNotABusyOne() {
    form().SetRendererPath(Path("no-such-renderer").toStdString());
    Choose({Path("a.pdf")}, Path("out"));
    Convert();
    QCOMPARE(dialogs().messages, QStringList{Utf8("运行主程序错误!")});
    QCOMPARE(form().Label8->text(), Utf8("已完成！"));
    QCOMPARE(form().ProgressMaximum(), 0);
    QVERIFY(form().ProgressBar1->maximum() > form().ProgressBar1->minimum());
    QCOMPARE(form().ProgressBar1->value(), form().ProgressBar1->minimum());
  }

  // The program's own renderer beside the test program, on real PDFs.
  void realPdfsBecomePageImages_data() {
    QTest::addColumn<int>("format");  // ComboBox1's item
    QTest::addColumn<QString>("extension");
    QTest::newRow("PNG") << 1 << "png";
    QTest::newRow("JPG") << 0 << "jpg";
  }
  void realPdfsBecomePageImages() {
    QFETCH(int, format);
    QFETCH(QString, extension);
    const QString pdfs = QStringLiteral(QUILLAMAR_TESTDATA "/pdfs/");
    Choose({pdfs + "text_latex_4p.pdf", pdfs + "chart_raster_graph_1p.pdf"}, Path("pages"));
    form().ComboBox1->setCurrentIndex(format);
    form().ComboBox2->setEditText(QStringLiteral("24"));
    Convert();
    QCOMPARE(dialogs().errors + dialogs().messages, QStringList());
    QStringList expected;
    for (const char* page : {"chart_raster_graph_1p_1", "text_latex_4p_1", "text_latex_4p_2",
                             "text_latex_4p_3", "text_latex_4p_4"}) {
      expected << QStringLiteral("%1.%2").arg(page, extension);
    }
    QCOMPARE(QDir(Path("pages")).entryList(QDir::Files, QDir::Name), expected);
    for (const QString& page : expected)
      QVERIFY2(CompletePage(Path("pages/") + page), qPrintable(page));
    QCOMPARE(form().Label8->text(), Utf8("已完成！"));
  }

  // Closing the window in the middle of a JPG run with the real renderer: no child process and no
  // temporary file stays, and every page file left is a complete PNG or JPEG.
  void closingMidRunLeavesOnlyCompletePages() {
    Choose({QStringLiteral(QUILLAMAR_TESTDATA "/pdfs/long_lecture_notes_117p.pdf")}, Path("pages"));
    form().ComboBox1->setCurrentIndex(0);  // JPG
    form().ComboBox2->setEditText(QStringLiteral("72"));
    QSignalSpy ended(&form(), &TForm1::RunEnded);
    QTest::mouseClick(form().Button1, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(Path("pages/long_lecture_notes_117p_1.jpg")),
                             kRunTimeoutMs);
    QVERIFY(!form().close());  // the run is stopped first
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kRunTimeoutMs);
    int status = 0;
    QCOMPARE(::waitpid(-1, &status, WNOHANG), -1);  // no child, running or unreaped
    const QStringList left =
        QDir(Path("pages")).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    QVERIFY(left.contains(QStringLiteral("long_lecture_notes_117p_1.jpg")));
    for (const QString& name : left)
      QVERIFY2(CompletePage(Path("pages/") + name), qPrintable(name));
  }

  // Every way of ending a run early ends its renderer; the button's renderer ignores SIGTERM,
  // so that the stop has to fall back to SIGKILL.
  void stoppingEndsTheRenderer_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("Button1") << int(Stop::kButton);
    QTest::newRow("closing") << int(Stop::kClose);
    QTest::newRow("signal") << int(Stop::kSignal);
    QTest::newRow("destroying") << int(Stop::kDestroy);
  }
  void stoppingEndsTheRenderer() {
    QFETCH(int, how);
    const QString ignore_term = how == int(Stop::kButton) ? "trap '' TERM\n" : "";
    UseRenderer(0,
                ignore_term + QStringLiteral("echo $$ > '%1'\nexec sleep 60\n").arg(Path("pid")));
    Choose({Path("a.pdf"), Path("b.pdf")}, Path("out"));
    QSignalSpy ended(&form(), &TForm1::RunEnded);
    QTest::mouseClick(form().Button1, Qt::LeftButton);
    const pid_t renderer = WaitForPid();
    QVERIFY(renderer > 0);
    if (how == int(Stop::kDestroy)) {
      window_.reset();  // returns only once the run has ended
      QVERIFY(ProcessGone(renderer));
      return;
    }
    if (how == int(Stop::kButton)) QTest::mouseClick(form().Button1, Qt::LeftButton);
    if (how == int(Stop::kClose)) QVERIFY(!form().close());  // refused until the run has ended
    if (how == int(Stop::kSignal)) {
      CloseWindowsOnSignals();
      QCOMPARE(::raise(SIGHUP), 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kRunTimeoutMs);
    QVERIFY(ProcessGone(renderer));
    QCOMPARE(form().Label8->text(), Utf8("已停止（第 1/2 个文件）"));
    QCOMPARE(form().Button1->text(), Utf8("转换"));
    QVERIFY(form().ComboBox1->isEnabled());
    // b.pdf's turn never came: whatever was rendered ahead of it is gone.
    QVERIFY(QDir(Path("out"))
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                .isEmpty());
    QTRY_COMPARE(form().isVisible(), how == int(Stop::kButton));
  }

 private:
  /// The renderer's process id once it has written it; 0 when it never did.
  pid_t WaitForPid() {
    const QString file = Path("pid");
    const auto written = [&] { return ReadText(file).endsWith(QLatin1Char('\n')); };
    if (!QTest::qWaitFor(written, kRunTimeoutMs)) return 0;
    return static_cast<pid_t>(ReadText(file).trimmed().toInt());
  }

  QString button_during_dialog_;
};

}  // namespace quillamar::app::testing

QTEST_MAIN(quillamar::app::testing::RunTest)
#include "run_test.moc"
