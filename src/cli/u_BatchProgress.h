#pragma once
// The progress line of a batch whose books are branded several at once. The line names the
// first book not finished and its step, "[k/n, done of total MB]": k rises as books finish, and
// the bytes done count each book being branded by how far its steps are, so that they rise
// with every report of any book, up to the batch's total.

#include "cli/u_ProgressLine.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TBatchProgress {
public:
  // The books in the batch's order with their sizes in bytes.
  TBatchProgress(TProgressLine& line, std::vector<std::string> books, std::vector<uint64_t> sizes);

  // What book number i (from 0) reports while it is branded. Called by one thread at a time.
  void Show(size_t i, TEBookStep step, int percent);
  // Book i is done (branded, unchanged or failed): it counts whole from now on.
  void Finish(size_t i);

private:
  // The share of book i done, from 0 to 1; never less than before.
  void SetDone(size_t i, double done);

  TProgressLine& FLine;
  std::vector<std::string> FBooks;
  std::vector<uint64_t> FSizes;
  std::vector<double> FDone; // each book's share done
  std::vector<std::optional<std::pair<TEBookStep, int>>> FLastStep;
  std::vector<bool> FFinished;
  size_t FFirst = 0; // the first book not finished
  double FDoneBytes = 0;
  // What the line shows now: the book, its step and percent, and tenths of MB done.
  struct TDrawn {
    size_t Book = 0;
    std::pair<TEBookStep, int> Step{esRead, -1};
    uint64_t Tenths = 0;
    bool operator==(const TDrawn&) const = default;
  };
  TDrawn FDrawn;
  uint64_t FTotalBytes = 0;
};
