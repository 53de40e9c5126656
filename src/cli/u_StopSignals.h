#pragma once
// SIGINT and SIGTERM while folioset-cli runs a command: the command stops at its next safe
// point, leaving each book as it was or finished, never in between (a book is replaced whole
// by rename), and the program exits 128 + the signal's number, as a shell reports a signal.

#include "common/u_SysUtils.h"

#include <csignal>

class EStopped : public Exception {
public:
  explicit EStopped(int signal);
  int ExitStatus() const { return 128 + FSignal; }

private:
  int FSignal;
};

// Catches SIGINT and SIGTERM while it lives; a second signal ends the program at once. The
// handlers in place before come back when it goes.
class TStopSignals {
public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

private:
  struct sigaction FOldInterrupt;
  struct sigaction FOldTerminate;
};

// "SIGINT" or "SIGTERM".
const char* StopSignalName(int signal);

// The stop signal that has arrived since the handlers were installed, or 0.
int StopSignal();
// Raises EStopped when there is one.
void StopIfAsked();
