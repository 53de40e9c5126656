#pragma once
// folioset-cli: show, brand and extract e-books from a script, over the same e-book document
// the window drives. Text crosses the terminal as UTF-8 and is stored in the book's code page.

#include "cli/u_ProgressLine.h"
#include "common/u_AnsiText.h"

#include <iosfwd>
#include <string>
#include <vector>

// Where a command line reads and writes.
struct TConsole {
  std::istream& In; // "--values -"
  std::ostream& Out;
  std::ostream& Err;
  bool ErrIsTerminal;                      // the progress line is drawn only on a terminal
  bool OutIsTerminal;                      // a branded book is never written to a terminal
  int ErrColumns = DefaultTerminalColumns; // the width the progress line keeps within
  bool ErrIsDumb = false;                  // the terminal takes no control sequences
};

// Runs one command line (arguments without the program name); returns the exit status.
// Results go to Out, one-line errors naming their file to Err. Books are read in
// localeCodePage, the user's locale's, unless the command line or a manifest says another.
int RunCommandLine(const std::vector<std::string>& arguments, const TConsole& console,
                   const TCodePage& localeCodePage);
// The same with standard input, err taken as no terminal, and the locale's code page as the
// environment says now.
int RunCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
