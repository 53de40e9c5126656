#include "gui/u_LongOperation.h"

#include "gui/u_InputHold.h"
#include "gui/u_Version.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>

#include <climits>
#include <exception>
#include <thread>

namespace {

// A short operation finishes before its progress display would only flicker.
constexpr int ProgressDelayMs = 400;

const char* const SClosesWhenDone = "Folioset closes as soon as the eBook has been %1.";
const char* const SStopping = "Stopping...";
const char* const SStoppingToClose = "Stopping; Folioset closes then.";
const char* const SStillBusy = "Folioset is still busy with the eBook; try again when it is done.";
const char* const SStopped = "Stopped; the eBook on disk is as it was";

std::unique_ptr<QProgressDialog> NewProgressDialog(QWidget* window) {
  auto progress = std::make_unique<QProgressDialog>(window);
  progress->setObjectName(QStringLiteral("dlgProgress"));
  progress->setWindowTitle(QString::fromLatin1(SApplicationTitle));
  progress->setCancelButtonText(QStringLiteral("&Cancel"));
  progress->setRange(0, 100);
  // Each step runs from 0 to 100 on its own: the display stays up between them.
  progress->setAutoReset(false);
  progress->setAutoClose(false);
  progress->setMinimumDuration(INT_MAX);
  // Not modal: the window's own close must reach it to be asked about (the toolkit drops a
  // close of a window a modal one blocks); the input hold keeps the window still meanwhile.
  progress->setWindowModality(Qt::NonModal);
  return progress;
}

} // namespace

EOperationStopped::EOperationStopped() : Exception(SStopped) {}

TLongOperation::TLongOperation(QWidget* window, QList<QKeySequence> quitKeys)
    : FWindow(window), FQuitKeys(std::move(quitKeys)) {}

TLongOperation::~TLongOperation() = default;

void TLongOperation::Run(const std::function<void()>& operation, const QString& label,
                         const QString& waitsFor) {
  if (Busy())
    throw Exception(SStillBusy);
  FProgress = NewProgressDialog(FWindow);
  // However this ends, no display is left behind and the next operation may start.
  struct TEnded {
    TLongOperation& Owner;
    ~TEnded() {
      Owner.FProgress.reset();
      Owner.FNote.clear();
    }
  } ended{*this};
  FLabel = label;
  FNote.clear();
  FStopAsked = false;
  FCloseAfter = false;
  FStoppedToClose = false;
  // Its first frame already says what is going on.
  FProgress->setLabelText(ProgressLabel());
  FProgress->setValue(0);
  QObject::connect(FProgress.get(), &QProgressDialog::canceled, FProgress.get(),
                   [this] { Stop(QString::fromLatin1(SStopping)); });
  TInputHold inputHold(FWindow, FProgress.get(), FQuitKeys, [&] { CloseAsked(waitsFor); });
  QTimer::singleShot(ProgressDelayMs, FProgress.get(), &QWidget::show);

  QEventLoop loop;
  std::exception_ptr error;
  {
    // Joined however this block is left, so the worker never outlives what it uses.
    const std::jthread worker([&] {
      try {
        operation();
      } catch (...) {
        error = std::current_exception();
      }
      QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
  }
  if (FCloseAfter)
    QTimer::singleShot(0, FWindow, &QWidget::close);
  if (error)
    std::rethrow_exception(error);
}

void TLongOperation::CloseAsked(const QString& waitsFor) {
  if (FAsking || FCloseAfter)
    return;
  FProgress->show();
  TCloseChoice choice = TCloseChoice::CloseWhenDone;
  if (AskOnClose) {
    FAsking = true;
    struct TAnswered {
      bool& Asking;
      ~TAnswered() { Asking = false; }
    } answered{FAsking};
    choice = AskOnClose(waitsFor);
  }
  switch (choice) {
  case TCloseChoice::StopAndClose:
    FCloseAfter = true;
    FStoppedToClose = true;
    Stop(QString::fromLatin1(SStoppingToClose));
    break;
  case TCloseChoice::CloseWhenDone:
    FCloseAfter = true;
    FNote = QString::fromLatin1(SClosesWhenDone).arg(waitsFor);
    break;
  case TCloseChoice::KeepWorking:
    return;
  }
  // The operation may have ended while the question was up.
  if (FProgress) {
    FProgress->setLabelText(ProgressLabel());
    FProgress->show();
  }
}

void TLongOperation::Stop(const QString& note) {
  FStopAsked = true;
  FNote = note;
  if (FProgress)
    FProgress->setLabelText(ProgressLabel());
}

void TLongOperation::StopIfAsked() const {
  if (FStopAsked)
    throw EOperationStopped();
}

void TLongOperation::ShowProgress(const QString& label, int percent) {
  if (!FProgress)
    return;
  FLabel = label;
  FProgress->setLabelText(ProgressLabel());
  FProgress->setValue(percent);
}

QString TLongOperation::ProgressLabel() const {
  return FNote.isEmpty() ? FLabel : FLabel + QStringLiteral("\n\n") + FNote;
}
