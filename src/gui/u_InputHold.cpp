#include "gui/u_InputHold.h"

#include <QApplication>
#include <QShortcutEvent>
#include <QWidget>

TInputHold::TInputHold(QWidget* window, QList<QKeySequence> quitKeys,
                       std::function<void()> onCloseAsked)
    : FWindow(window), FQuitKeys(std::move(quitKeys)), FOnCloseAsked(std::move(onCloseAsked)) {
  qApp->installEventFilter(this);
  QApplication::setOverrideCursor(Qt::WaitCursor);
}

TInputHold::~TInputHold() {
  QApplication::restoreOverrideCursor();
  qApp->removeEventFilter(this);
}

bool TInputHold::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
  // A key of a command arrives as the shortcut it is, not as a key press.
  case QEvent::Shortcut:
    if (FQuitKeys.contains(static_cast<QShortcutEvent*>(event)->key()))
      FOnCloseAsked();
    break;
  case QEvent::Close:
    if (watched == FWindow)
      FOnCloseAsked();
    break;
  case QEvent::MouseButtonPress:
  case QEvent::MouseButtonRelease:
  case QEvent::MouseButtonDblClick:
  case QEvent::KeyPress:
  case QEvent::KeyRelease:
  case QEvent::ShortcutOverride:
  case QEvent::Wheel:
  case QEvent::ContextMenu:
  case QEvent::Drop:
    break;
  default:
    return false;
  }
  event->ignore();
  return true;
}
