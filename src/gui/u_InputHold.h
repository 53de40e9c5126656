#pragma once
// Holding user input back from every window while a long operation runs, so that nothing can
// start a second one or close the window under it; painting goes on.

#include <QKeySequence>
#include <QList>
#include <QObject>

#include <functional>

class QWidget;

// Holds input back while it lives and shows the busy cursor. An attempt to close window, or a
// key of quitKeys, is told to onCloseAsked, so that the window can say why it waits.
class TInputHold : public QObject {
public:
  TInputHold(QWidget* window, QList<QKeySequence> quitKeys, std::function<void()> onCloseAsked);
  ~TInputHold() override;
  TInputHold(const TInputHold&) = delete;
  TInputHold& operator=(const TInputHold&) = delete;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  QWidget* FWindow;
  QList<QKeySequence> FQuitKeys;
  std::function<void()> FOnCloseAsked;
};
