#include "common/u_Progress.h"

#include <algorithm>

namespace {
constexpr int AllDone = 100;
} // namespace

void TByteProgress::Start(uint64_t total) {
  FTotal = total;
  FDone = 0;
  FReported = -1;
  FNextReport = 0;
  if (!FOnPercent)
    FNextReport = UINT64_MAX; // nobody listens: Advance stays one comparison
  Report();
}

void TByteProgress::Finish() {
  if (FOnPercent && FReported < AllDone) {
    FReported = AllDone;
    FOnPercent(AllDone);
  }
  FNextReport = UINT64_MAX;
}

void TByteProgress::Report() {
  if (!FOnPercent)
    return;
  // An empty piece of work is all done at once; more bytes than announced stay at 100.
  const int percent =
      FTotal == 0 ? AllDone : int(std::min<uint64_t>(FDone * AllDone / FTotal, AllDone));
  if (percent > FReported) {
    FReported = percent;
    FOnPercent(percent);
  }
  // The first byte count that gives the next percent.
  FNextReport = FReported >= AllDone ? UINT64_MAX
                                     : (uint64_t(FReported + 1) * FTotal + AllDone - 1) / AllDone;
}
