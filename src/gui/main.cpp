// The folioset program: one window that opens, brands and runs e-books. An optional argument
// names an e-book to open at start.

#include "gui/frm_Main.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(SApplicationTitle));
  QApplication::setDesktopFileName(QStringLiteral("folioset"));

  TfrmMain frmMain;
  frmMain.show();
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() > 1) {
    const QString path = QFileInfo(arguments.at(1)).absoluteFilePath();
    // Opened from the message loop, so that the window is up to show progress and errors.
    QTimer::singleShot(0, &frmMain, [&frmMain, path] { frmMain.OpenEBookFile(path); });
  }
  return application.exec();
}
