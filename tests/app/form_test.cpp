// The main window's controls: kinds and texts, layout after scaling, fonts, tab order and input.
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QtTest>
#include <algorithm>

#include "app_test_support.h"

namespace quillamar::app::testing {
namespace {

QString TextOf(QWidget* control) {
  if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
  if (auto* button = qobject_cast<QPushButton*>(control)) return button->text();
  if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
  if (auto* combo = qobject_cast<QComboBox*>(control)) return combo->currentText();
  return {};
}

/// The layout is drawn for 120 dots per inch where the window font is 16 high.
int Scaled(int value, const TForm1& form) {
  return ScaleValue(value, QFontMetrics(form.font()).height(), 16);
}

}  // namespace

class FormTest : public QObject, WindowFixture {
  Q_OBJECT

 private:
  QWidget* Control(const QString& name) { return form().findChild<QWidget*>(name); }

 private slots:
  void initTestCase() {
    OpenWindow();
    form().show();
    QVERIFY(QTest::qWaitForWindowActive(&form()));
  }

  void controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    const struct {
      const char* name;
      const char* kind;
      const char* text;
    } rows[] = {
        {"Label1", "QLabel", "图片存放目录："},
        {"Label2", "QLabel", "PDF文件(多选）："},
        {"Label3", "QLabel", "转换格式： "},
        {"Label4", "QLabel", "转换质量： "},
        {"Label5", "QLabel", "DPI"},
        {"Label6", "QLabel", "Quillamar "},
        {"Label7", "QLabel", " "},
        {"Label8", "QLabel", " "},
        {"Button1", "QPushButton", "转换"},
        {"Edit1", "QLineEdit", ""},
        {"Edit2", "QLineEdit", ""},
        {"ComboBox1", "QComboBox", "JPG"},
        {"ComboBox2", "QComboBox", "72"},
        {"ProgressBar1", "QProgressBar", ""},
        {"Button2", "QPushButton", "..."},
        {"Button3", "QPushButton", "..."},
    };
    for (const auto& row : rows) {
      QTest::newRow(row.name) << Utf8(row.name) << Utf8(row.kind) << Utf8(row.text);
    }
  }
  void controls() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QWidget* control = Control(name);
    QVERIFY(control != nullptr);
    QCOMPARE(QString::fromLatin1(control->metaObject()->className()), kind);
    QCOMPARE(TextOf(control), text);
  }

  void fixedFrameWithTitlesAndScaledFont() {
    QCOMPARE(form().objectName(), QStringLiteral("Form1"));
    QCOMPARE(form().windowTitle(), QStringLiteral("Quillamar"));
    QVERIFY(!form().Label9->text().trimmed().isEmpty());
    const Qt::WindowFlags flags = form().windowFlags();
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(form().minimumSize(), form().maximumSize());
    // The window font is scaled by the dots per inch.
    const int dpi = qRound(form().screen()->logicalDotsPerInch());
    QCOMPARE(form().font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(form().font().pixelSize(), ScaleValue(13, dpi, 120));
  }

  // Every control lies inside the client area, no two controls that take input overlap, and a
  // label sized to its text shows all of it.
  void layoutKeepsControlsApartAndTextsWhole() {
    const QList<QWidget*> controls = form().findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* control : controls) {
      if (control->isHidden()) continue;
      const QRect rect = control->geometry();
      QVERIFY2(form().rect().contains(rect), qPrintable(control->objectName()));
      const QFontMetrics metrics(control->font());
      // The labels sized to their text show all of it; the others have their given sizes.
      const QWidget* sized_to_text[] = {form().Label3, form().Label4, form().Label5, form().Label9};
      if (std::find(std::begin(sized_to_text), std::end(sized_to_text), control) !=
          std::end(sized_to_text)) {
        QVERIFY2(rect.width() >= metrics.horizontalAdvance(TextOf(control)) &&
                     rect.height() >= metrics.height(),
                 qPrintable(control->objectName()));
      }
      for (QWidget* other : controls) {
        // Labels draw no background, so only the controls that take input or clicks must stay
        // apart (the design lays the end of Label4, a blank, under ComboBox2).
        const bool label = qobject_cast<QLabel*>(control) || qobject_cast<QLabel*>(other);
        if (other == control || other->isHidden() || label) continue;
        QVERIFY2(!rect.intersects(other->geometry()),
                 qPrintable(control->objectName() + " overlaps " + other->objectName()));
      }
    }
  }

  // The client area and a few places and sizes, in pixels at 120 dots per inch scaled by the
  // text's height.
  void givenGeometry() {
    QCOMPARE(form().size(), QSize(Scaled(561, form()), Scaled(256, form())));
    QCOMPARE(form().Button1->geometry(), QRect(Scaled(416, form()), Scaled(175, form()),
                                               Scaled(113, form()), Scaled(33, form())));
    QCOMPARE(form().Edit2->geometry(), QRect(Scaled(128, form()), Scaled(56, form()),
                                             Scaled(393, form()), Scaled(25, form())));
    QCOMPARE(form().Label6->pos(), QPoint(0, Scaled(10, form())));
  }

  void progressBarAlongTheBottomEdge() {
    const QRect bar = form().ProgressBar1->geometry();
    QCOMPARE(bar.left(), 0);
    QCOMPARE(bar.width(), form().width());
    QCOMPARE(bar.bottom(), form().height() - 1);
    QCOMPARE(bar.height(), Scaled(21, form()));
    QCOMPARE(form().ProgressBar1->minimum(), 0);
    QCOMPARE(form().ProgressBar1->maximum(), 100);
    QCOMPARE(form().ProgressBar1->value(), 0);
  }

  // Every Chinese text must come out of a face that has its glyphs, never as boxes.
  void everyTextHasItsGlyphs() {
    QStringList missing;
    for (QWidget* control : form().findChildren<QWidget*>()) {
      const QRawFont face = QRawFont::fromFont(control->font());
      for (const QChar c : TextOf(control) + Utf8("停止正在转换已完成！已停止")) {
        if (!c.isSpace() && !face.supportsCharacter(c)) missing << control->objectName() + ":" + c;
      }
    }
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QLatin1Char(' '))));
  }

  void button1HasTheFocusAndTabFollowsTheOrder() {
    QCOMPARE(QApplication::focusWidget(), form().Button1);
    QStringList visited;
    for (int i = 0; i < 7; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, QStringList({"Edit1", "Edit2", "ComboBox1", "ComboBox2", "Button2", "Button3",
                                   "Button1"}));
  }

  // Enter and keypad Enter press the focused button as Space does.
  void enterPressesTheFocusedButton_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
  }
  void enterPressesTheFocusedButton() {
    QFETCH(int, key);
    const qsizetype before = dialogs().pdf_preselected.size();
    form().Button2->setFocus();
    QTest::keyClick(form().Button2, Qt::Key(key));
    QTRY_COMPARE(dialogs().pdf_preselected.size(), before + 1);
    form().Button1->setFocus();
  }

  void openFolderLinkShowsItsFocus() {
    QPushButton* link = form().OpenFolderButton();
    link->show();
    const QImage unfocused = link->grab().toImage();
    link->setFocus();
    QVERIFY(link->hasFocus());
    QVERIFY(link->grab().toImage() != unfocused);
    link->hide();
    form().Button1->setFocus();
  }

  void comboBox1RefusesTypedText() {
    QComboBox* combo = form().ComboBox1;
    QVERIFY(!combo->isEditable());
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("JPG"));
    QCOMPARE(combo->itemText(1), QStringLiteral("PNG"));
    QTest::keyClicks(combo, QStringLiteral("xyz 300"));
    QCOMPARE(combo->currentText(), QStringLiteral("JPG"));
  }

  void comboBox2TakesTypedText() {
    QComboBox* combo = form().ComboBox2;
    QVERIFY(combo->isEditable());
    const TestWindow fresh;  // leaving the box selects a matching item, so look at a new window
    QCOMPARE(fresh.form->ComboBox2->currentIndex(), -1);
    QCOMPARE(fresh.form->ComboBox2->currentText(), QStringLiteral("72"));
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    QCOMPARE(items, QStringList({"24", "36", "48", "60", "72", "84", "96"}));
    combo->lineEdit()->selectAll();
    QTest::keyClicks(combo->lineEdit(), QStringLiteral("300 dpi"));
    QCOMPARE(combo->currentText(), QStringLiteral("300 dpi"));
    QCOMPARE(combo->count(), 7);  // typing adds no item
    combo->setEditText(QStringLiteral("72"));
  }

  void edit2IsReadOnly() {
    QVERIFY(form().Edit2->isReadOnly());
    QTest::keyClicks(form().Edit2, QStringLiteral("typed.pdf"));
    QCOMPARE(form().Edit2->text(), QString());
    QTest::keyClicks(form().Edit1, QStringLiteral("/tmp/out"));
    QCOMPARE(form().Edit1->text(), QStringLiteral("/tmp/out"));
    form().Edit1->clear();
  }
};

}  // namespace quillamar::app::testing

QTEST_MAIN(quillamar::app::testing::FormTest)
#include "form_test.moc"
