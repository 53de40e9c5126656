// The folioset program: one window that opens, brands and runs e-books. An optional argument
// names an e-book to open at start.

#include "gui/frm_Main.h"
#include "gui/u_Version.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {
constexpr int ExitUsage = 2;

const char* const SUsage =
    "Usage: folioset [BOOK.exe]\n"
    "Opens the window that puts your own texts and icon into a compiled eBook, with BOOK.exe\n"
    "open in it when given.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "  --             take what follows as a file name, even when it begins with \"-\"\n";

enum TArgumentsAction { aaRun, aaHelp, aaVersion };

// What the arguments ask for before any window exists, so that --help and --version work
// without a display.
TArgumentsAction ArgumentsAction(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0)
      return aaRun;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
      return aaHelp;
    if (std::strcmp(argv[i], "--version") == 0)
      return aaVersion;
  }
  return aaRun;
}
} // namespace

int main(int argc, char* argv[]) {
  switch (ArgumentsAction(argc, argv)) {
  case aaHelp:
    std::fputs(SUsage, stdout);
    return 0;
  case aaVersion:
    std::printf("%s %s\n", "folioset", GetVersionText(0, 4).c_str());
    return 0;
  default:
    break;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(SApplicationTitle));
  QApplication::setDesktopFileName(QStringLiteral("folioset"));

  // The toolkit has taken its own options out; what is left is ours.
  QStringList arguments = QApplication::arguments().mid(1);
  if (!arguments.isEmpty() && arguments.front() == QStringLiteral("--"))
    arguments.removeFirst();
  else if (!arguments.isEmpty() && arguments.front().startsWith('-')) {
    std::fprintf(stderr, "folioset: unknown option \"%s\"\n%s", qPrintable(arguments.front()),
                 SUsage);
    return ExitUsage;
  }
  if (arguments.size() > 1) {
    std::fprintf(stderr, "folioset: one eBook at a time\n%s", SUsage);
    return ExitUsage;
  }

  // Books are read in the code page of the user's locale unless the View menu says another.
  TfrmMain frmMain(TCodePage::ForLocale());
  frmMain.show();
  if (!arguments.isEmpty()) {
    const QString path = QFileInfo(arguments.front()).absoluteFilePath();
    // Opened from the message loop, so that the window is up to show progress and errors.
    QTimer::singleShot(0, &frmMain, [&frmMain, path] { frmMain.OpenEBookFile(path); });
  }
  return application.exec();
}
