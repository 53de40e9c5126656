#pragma once
// The window's long operations: each runs on a worker thread while the window stays painted,
// shows its progress after a moment and holds user input back. One runs at a time. The
// progress display's Cancel stops the operation at its next safe point; closing the window
// meanwhile asks whether to stop it, to close once it is done or to keep working.

#include "common/u_SysUtils.h"

#include <QKeySequence>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QProgressDialog;
class QWidget;

// The user stopped the operation before it had changed anything.
class EOperationStopped : public Exception {
public:
  EOperationStopped();
};

// What a close asked for while an operation runs does.
enum class TCloseChoice { StopAndClose, CloseWhenDone, KeepWorking };

class TLongOperation {
public:
  // quitKeys are the keys that close window: pressed meanwhile, they ask what to do.
  TLongOperation(QWidget* window, QList<QKeySequence> quitKeys);
  ~TLongOperation();
  TLongOperation(const TLongOperation&) = delete;
  TLongOperation& operator=(const TLongOperation&) = delete;

  bool Busy() const { return FProgress != nullptr; }
  // Runs operation and returns when it has ended; its error passes on here. label is what the
  // progress display says first, waitsFor what a close asked for meanwhile waits for ("written");
  // the window closes once the operation has ended when the user chose so. Refused while another
  // operation runs.
  void Run(const std::function<void()>& operation, const QString& label, const QString& waitsFor);
  // Shows how far the running operation is; nothing when none runs.
  void ShowProgress(const QString& label, int percent);
  // Raises EOperationStopped once the user has asked to stop the running operation: the
  // operation calls it from its own thread where stopping leaves nothing half done.
  void StopIfAsked() const;
  // Whether the user asked to stop the last operation.
  bool StopAsked() const { return FStopAsked; }
  // The window closes because the user stopped the operation to close it: nothing more is
  // asked. Holds until the next operation starts.
  bool StoppedToClose() const { return FStoppedToClose; }

  // Asks what a close during the operation does; waitsFor as Run was given it. None: the
  // window closes once the operation has ended.
  std::function<TCloseChoice(const QString& waitsFor)> AskOnClose;

private:
  QString ProgressLabel() const;
  void CloseAsked(const QString& waitsFor);
  void Stop(const QString& note);

  QWidget* FWindow;
  QList<QKeySequence> FQuitKeys;
  // The display of the operation running; none between operations.
  std::unique_ptr<QProgressDialog> FProgress;
  QString FLabel;
  // What the display says beside the step: why the window waits, or that the operation stops.
  QString FNote;
  std::atomic<bool> FStopAsked = false;
  bool FCloseAfter = false;
  bool FStoppedToClose = false;
  // The close question is up: a second close waits for its answer.
  bool FAsking = false;
};
