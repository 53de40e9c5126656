#pragma once
// The window's long operations: each runs on a worker thread while the window stays painted,
// shows its progress after a moment and holds user input back. One runs at a time.

#include <QKeySequence>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class QProgressDialog;
class QWidget;

class TLongOperation {
public:
  // quitKeys are the keys that close window: pressed meanwhile, they are told to wait.
  TLongOperation(QWidget* window, QList<QKeySequence> quitKeys);
  ~TLongOperation();
  TLongOperation(const TLongOperation&) = delete;
  TLongOperation& operator=(const TLongOperation&) = delete;

  bool Busy() const { return FProgress != nullptr; }
  // Runs operation and returns when it has ended; its error passes on here. label is what the
  // progress display says first, waitsFor what a close asked for meanwhile waits for; the
  // window closes once the operation has ended. Refused while another operation runs.
  void Run(const std::function<void()>& operation, const QString& label, const QString& waitsFor);
  // Shows how far the running operation is; nothing when none runs.
  void ShowProgress(const QString& label, int percent);

private:
  QString ProgressLabel() const;

  QWidget* FWindow;
  QList<QKeySequence> FQuitKeys;
  // The display of the operation running; none between operations.
  std::unique_ptr<QProgressDialog> FProgress;
  QString FLabel;
  // Said while a close asked for during the operation waits for its end; empty when none is.
  QString FClosingNote;
};
