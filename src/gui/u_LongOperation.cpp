#include "gui/u_LongOperation.h"

#include "common/u_SysUtils.h"
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
const char* const SStillBusy = "Folioset is still busy with the eBook; try again when it is done.";

std::unique_ptr<QProgressDialog> NewProgressDialog(QWidget* window) {
  auto progress = std::make_unique<QProgressDialog>(window);
  progress->setWindowTitle(QString::fromLatin1(SApplicationTitle));
  progress->setCancelButton(nullptr);
  progress->setRange(0, 100);
  // Each step runs from 0 to 100 on its own: the display stays up between them.
  progress->setAutoReset(false);
  progress->setAutoClose(false);
  progress->setMinimumDuration(INT_MAX);
  progress->setWindowModality(Qt::WindowModal);
  return progress;
}

} // namespace

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
      Owner.FClosingNote.clear();
    }
  } ended{*this};
  FLabel = label;
  FClosingNote.clear();
  // Its first frame already says what is going on.
  FProgress->setLabelText(ProgressLabel());
  FProgress->setValue(0);
  TInputHold inputHold(FWindow, FQuitKeys, [&] {
    FClosingNote = QString::fromLatin1(SClosesWhenDone).arg(waitsFor);
    FProgress->setLabelText(ProgressLabel());
    FProgress->show();
  });
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
  if (!FClosingNote.isEmpty())
    QTimer::singleShot(0, FWindow, &QWidget::close);
  if (error)
    std::rethrow_exception(error);
}

void TLongOperation::ShowProgress(const QString& label, int percent) {
  if (!FProgress)
    return;
  FLabel = label;
  FProgress->setLabelText(ProgressLabel());
  FProgress->setValue(percent);
}

QString TLongOperation::ProgressLabel() const {
  return FClosingNote.isEmpty() ? FLabel : FLabel + QStringLiteral("\n\n") + FClosingNote;
}
