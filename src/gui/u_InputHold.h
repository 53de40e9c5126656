#pragma once
// Holding user input back from the window while a long operation runs, so that nothing can
// start a second one or close the window under it; painting goes on, and the operation's own
// display (and a question it asks) still take input.

#include <QKeySequence>
#include <QList>
#include <QObject>

#include <functional>

class QWidget;

// Holds input to window back while it lives and shows the busy cursor. An attempt to close
// window or display, or a key of quitKeys pressed anywhere, is told to onCloseAsked, so that
// the window can ask what to do.
class TInputHold : public QObject {
public:
  TInputHold(QWidget* window, QWidget* display, QList<QKeySequence> quitKeys,
             std::function<void()> onCloseAsked);
  ~TInputHold() override;
  TInputHold(const TInputHold&) = delete;
  TInputHold& operator=(const TInputHold&) = delete;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // Whether event goes to the held window (and not to a window of its own, such as display).
  bool ForHeldWindow(QObject* watched) const;

  QWidget* FWindow;
  QWidget* FDisplay;
  QList<QKeySequence> FQuitKeys;
  std::function<void()> FOnCloseAsked;
};
