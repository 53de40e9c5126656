#include "cli/u_StopSignals.h"

#include <cstring>

namespace {

volatile std::sig_atomic_t GStopSignal = 0;

extern "C" void RecordStopSignal(int signal) {
  GStopSignal = signal;
}

} // namespace

EStopped::EStopped(int signal)
    : Exception(Format("stopped by %s", StopSignalName(signal))), FSignal(signal) {}

const char* StopSignalName(int signal) {
  return signal == SIGINT ? "SIGINT" : "SIGTERM";
}

TStopSignals::TStopSignals() {
  GStopSignal = 0;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = RecordStopSignal;
  sigemptyset(&action.sa_mask);
  // Back to the default after the first: a second signal ends the program at once.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, &FOldInterrupt);
  sigaction(SIGTERM, &action, &FOldTerminate);
}

TStopSignals::~TStopSignals() {
  sigaction(SIGINT, &FOldInterrupt, nullptr);
  sigaction(SIGTERM, &FOldTerminate, nullptr);
  GStopSignal = 0;
}

int StopSignal() {
  return GStopSignal;
}

void StopIfAsked() {
  if (const int signal = StopSignal())
    throw EStopped(signal);
}
