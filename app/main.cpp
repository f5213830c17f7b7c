// Program start-up: fonts and translations, the application and its title, the main window and
// the event loop. The program takes no arguments.
#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QScreen>
#include <QTranslator>
#include <cstdlib>

#include "app/MainUnit.h"
#include "batch/batch.h"
#include "framework/paths.h"

namespace {

constexpr char kFontAliasFile[] = "quillamar-fonts.conf";

/// The window asks for its fonts by their Chinese names; the alias file beside the executable
/// maps them to installed faces. A setting given from outside is left alone.
void UseFontAliases() {
  if (std::getenv("FONTCONFIG_FILE") != nullptr) return;
  const std::string folder = quillamar::FolderOf(quillamar::RunningExecutablePath());
  const std::string aliases = folder + "/" + kFontAliasFile;
  if (quillamar::FileExists(aliases)) ::setenv("FONTCONFIG_FILE", aliases.c_str(), 1);
}

/// Qt's own texts (standard buttons, file dialogs) in Chinese, like the window's.
void LoadQtTranslations(QApplication& application, QTranslator& translator) {
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (translator.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                      QStringLiteral("_"), folder)) {
    application.installTranslator(&translator);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  UseFontAliases();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quillamar"));
  QApplication::setDesktopFileName(QStringLiteral("quillamar"));
  QApplication::setWindowIcon(
      QIcon::fromTheme(QStringLiteral("quillamar"), QIcon(QStringLiteral(":/quillamar.png"))));
  QTranslator translator;
  LoadQtTranslations(application, translator);

  const QScreen* screen = QGuiApplication::primaryScreen();
  quillamar::batch::SetScreenColorDepth(screen != nullptr ? screen->depth() : 24);

  quillamar::app::TForm1 form;
  quillamar::app::CloseWindowsOnSignals();
  form.show();
  return application.exec();
}
