#pragma once
// Progress of a long piece of work measured in bytes: turns bytes done into a percentage and
// reports each new percent once, so that a caller may draw on every report. Advance costs one
// addition and one comparison between reports.

#include <cstdint>
#include <functional>

// Called with 0..100, each value at most once, in rising order.
using TPercentEvent = std::function<void(int percent)>;

class TByteProgress {
public:
  TByteProgress() = default;
  explicit TByteProgress(TPercentEvent onPercent) : FOnPercent(std::move(onPercent)) {}

  // Starts over with total bytes to do; reports 0.
  void Start(uint64_t total);
  void Advance(uint64_t bytes) {
    FDone += bytes;
    if (FDone >= FNextReport)
      Report();
  }
  // All done, whatever the total said: reports 100 unless it was reported already.
  void Finish();

private:
  void Report();

  TPercentEvent FOnPercent;
  uint64_t FTotal = 0;
  uint64_t FDone = 0;
  uint64_t FNextReport = UINT64_MAX;
  int FReported = -1;
};
