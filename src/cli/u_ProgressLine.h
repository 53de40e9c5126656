#pragma once
// The progress line drawn on a terminal's standard error while a book is opened or branded:
// "[2/40, 1.2 of 23.0 MB] book.exe: pack 37%", rewritten in place. It draws nothing when switched off (not a
// terminal, or --quiet), so logs and pipes never see it.

#include "ebook/u_EBookDocument.h"

#include <cstdint>
#include <iosfwd>
#include <string>

class TProgressLine {
public:
  TProgressLine(std::ostream& err, bool enabled) : FErr(err), FEnabled(enabled) {}
  ~TProgressLine() { Clear(); }
  TProgressLine(const TProgressLine&) = delete;
  TProgressLine& operator=(const TProgressLine&) = delete;

  // The book now worked on, number of count (the number is left out for a single book), and
  // of a batch's totalBytes, how many the books done hold (left out when not given).
  void SetBook(const std::string& book, int number, int count, uint64_t doneBytes = 0,
               uint64_t totalBytes = 0);
  // What the document's OnProgress reports.
  void Show(TEBookStep step, int percent);
  // Takes the line away, so that the next line written starts on a clean line.
  void Clear();
  // Hands Show to a document.
  TEBookProgressEvent Event();

private:
  std::ostream& FErr;
  bool FEnabled;
  std::string FPrefix;
  bool FDrawn = false;
};

// "unpack", "pack", ... as the line names the steps.
const char* StepName(TEBookStep step);
