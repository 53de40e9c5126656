#include "gui/u_InputHold.h"

#include <QApplication>
#include <QKeyEvent>
#include <QShortcutEvent>
#include <QWidget>
#include <QWindow>

TInputHold::TInputHold(QWidget* window, QWidget* display, QList<QKeySequence> quitKeys,
                       std::function<void()> onCloseAsked)
    : FWindow(window), FDisplay(display), FQuitKeys(std::move(quitKeys)),
      FOnCloseAsked(std::move(onCloseAsked)) {
  qApp->installEventFilter(this);
  QApplication::setOverrideCursor(Qt::WaitCursor);
}

TInputHold::~TInputHold() {
  QApplication::restoreOverrideCursor();
  qApp->removeEventFilter(this);
}

bool TInputHold::ForHeldWindow(QObject* watched) const {
  // Input reaches a window's system window before its widgets.
  if (const auto* widget = qobject_cast<const QWidget*>(watched))
    return widget->window() == FWindow;
  if (const auto* window = qobject_cast<const QWindow*>(watched))
    return window == FWindow->windowHandle();
  return true;
}

bool TInputHold::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
  // A key of a command arrives as the shortcut it is, not as a key press.
  case QEvent::Shortcut:
    if (FQuitKeys.contains(static_cast<QShortcutEvent*>(event)->key()))
      FOnCloseAsked();
    break;
  case QEvent::Close:
    if (watched != FWindow && watched != FDisplay)
      return false;
    FOnCloseAsked();
    break;
  case QEvent::KeyPress:
    // In the display the window's shortcuts do not reach: its quit keys are seen here.
    if (!ForHeldWindow(watched)) {
      const auto* key = static_cast<QKeyEvent*>(event);
      if (!FQuitKeys.contains(QKeySequence(key->keyCombination())))
        return false;
      FOnCloseAsked();
    }
    break;
  case QEvent::MouseButtonPress:
  case QEvent::MouseButtonRelease:
  case QEvent::MouseButtonDblClick:
  case QEvent::KeyRelease:
  case QEvent::ShortcutOverride:
  case QEvent::Wheel:
  case QEvent::ContextMenu:
  case QEvent::Drop:
    if (!ForHeldWindow(watched))
      return false;
    break;
  default:
    return false;
  }
  event->ignore();
  return true;
}
