#pragma once
// The progress line drawn on a terminal's standard error while a book is opened or branded:
// "[2/40, 1.2 of 23.0 MB] book.exe: pack 37%", rewritten in place. It draws nothing when switched off (not a
// terminal, or --quiet), so logs and pipes never see it. It fits the terminal's width, a long
// path shortened in its middle, and on a terminal that takes no control sequences (TERM=dumb)
// it is redrawn with a carriage return and blanks alone.

#include "ebook/u_EBookDocument.h"

#include <cstdint>
#include <iosfwd>
#include <string>

// What a terminal is taken to be when it does not tell its width.
inline constexpr int DefaultTerminalColumns = 80;

// The width of the terminal at handle, else COLUMNS, else DefaultTerminalColumns.
int TerminalColumns(int handle);
// Whether TERM names a terminal that takes no control sequences.
bool TerminalIsDumb();

class TProgressLine {
public:
  TProgressLine(std::ostream& err, bool enabled, int columns = DefaultTerminalColumns,
                bool dumb = false)
      : FErr(err), FEnabled(enabled), FColumns(columns), FDumb(dumb) {}
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
  int FColumns;
  bool FDumb;
  std::string FCounter; // "[2/40, 1.2 of 23.0 MB] "
  std::string FBook;
  int FDrawnColumns = 0; // what the line on the terminal takes; 0 when none is drawn
};

// "unpack", "pack", ... as the line names the steps.
const char* StepName(TEBookStep step);

// The columns a terminal gives text (UTF-8): East Asian wide characters take two, combining
// marks none, every other character or byte that is not UTF-8 one.
int TextColumns(const std::string& text);
// text in at most columns: whole when it fits, else its start and end around "…".
std::string ShortenedInMiddle(const std::string& text, int columns);
