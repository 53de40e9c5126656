#include "cli/u_BatchProgress.h"

#include <algorithm>
#include <numeric>

namespace {

// A brand's steps, each taken for an equal share of its book: what a step costs depends on the
// book (unpacking is most of a small change, packing most of a new icon), and an even share
// keeps the count rising through each of them.
constexpr int Steps = esRewrite + 1;

} // namespace

TBatchProgress::TBatchProgress(TProgressLine& line, std::vector<std::string> books,
                               std::vector<uint64_t> sizes)
    : FLine(line), FBooks(std::move(books)), FSizes(std::move(sizes)), FDone(FBooks.size(), 0.0),
      FLastStep(FBooks.size()), FFinished(FBooks.size(), false),
      FTotalBytes(std::accumulate(FSizes.begin(), FSizes.end(), uint64_t(0))) {}

void TBatchProgress::SetDone(size_t i, double done) {
  if (done <= FDone[i])
    return;
  FDoneBytes += (done - FDone[i]) * double(FSizes[i]);
  FDone[i] = done;
}

void TBatchProgress::Show(size_t i, TEBookStep step, int percent) {
  FLastStep[i] = {step, percent};
  SetDone(i, (int(step) + std::clamp(percent, 0, 100) / 100.0) / Steps);
  // The line tells of the first book not finished; until it reports, there is nothing to draw.
  if (FFirst >= FBooks.size() || !FLastStep[FFirst])
    return;
  // Other books' reports often leave the line as it is drawn (the count is of 0.1 MB): it is
  // then not drawn again.
  const uint64_t doneBytes = uint64_t(std::min(FDoneBytes + 0.5, double(FTotalBytes)));
  const TDrawn drawn{FFirst, *FLastStep[FFirst], doneBytes / 100000};
  if (drawn == FDrawn)
    return;
  FDrawn = drawn;
  FLine.SetBook(FBooks[FFirst], int(FFirst) + 1, int(FBooks.size()), doneBytes, FTotalBytes);
  FLine.Show(drawn.Step.first, drawn.Step.second);
}

void TBatchProgress::Finish(size_t i) {
  SetDone(i, 1.0);
  FFinished[i] = true;
  while (FFirst < FBooks.size() && FFinished[FFirst])
    ++FFirst;
}
