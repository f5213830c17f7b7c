// Program start-up: fonts and translations, the application and its title, the main window and
// the event loop. The arguments are PDFs and folders to choose ("Open with"), or --version.
#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QScreen>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/MainUnit.h"
#include "batch/batch.h"
#include "framework/paths.h"
#include "quillamar_version.h"

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

/// Answered before any window or display is needed, so that it works on any terminal.
bool VersionAsked(int argc, char* argv[]) {
  return argc == 2 && std::strcmp(argv[1], "--version") == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (VersionAsked(argc, argv)) {
    std::printf("quillamar %s\n", QUILLAMAR_VERSION_TEXT);
    return 0;
  }
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
  // Qt has taken its own options out of the arguments; the rest name PDFs and folders.
  const QStringList items = QApplication::arguments().mid(1);
  if (!items.isEmpty()) form.ChooseItems(items);
  form.show();
  return application.exec();
}
