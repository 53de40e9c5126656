#include "gui/u_DesktopRun.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {
// The window waits for the answer; a desktop that takes longer than this cannot tell.
constexpr int QueryTimeoutMs = 5000;

// What xdg-mime names as the default program for a MIME type; none when it cannot tell.
std::optional<QString> DefaultApplication(const QString& xdgMime, const QString& mimeType) {
  QProcess query;
  query.start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), mimeType});
  if (!query.waitForFinished(QueryTimeoutMs) || query.exitStatus() != QProcess::NormalExit) {
    query.kill();
    query.waitForFinished();
    return std::nullopt;
  }
  return QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
}
} // namespace

std::optional<QString> DesktopApplicationFor(const QString& path) {
  const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
  if (xdgMime.isEmpty())
    return std::nullopt;
  const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
  QStringList names = {type.name()};
  names += type.aliases();
  for (const QString& name : names) {
    const std::optional<QString> application = DefaultApplication(xdgMime, name);
    if (!application || !application->isEmpty())
      return application;
  }
  return QString();
}

namespace {
bool IsOtherProgram(const QString& application) {
  return !application.isEmpty() &&
         application != QGuiApplication::desktopFileName() + QStringLiteral(".desktop");
}
} // namespace

bool CanRunOnDesktop(const QString& path) {
  const std::optional<QString> application = DesktopApplicationFor(path);
  return application && IsOtherProgram(*application);
}

bool RunOnDesktop(const QString& path) {
  const std::optional<QString> application = DesktopApplicationFor(path);
  if (!application)
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  if (!IsOtherProgram(*application))
    return false;
  // The tools that named the program start it, so that it is the one that runs.
  const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  return !xdgOpen.isEmpty() && QProcess::startDetached(xdgOpen, {path});
}
