#pragma once
// folioset-cli: show, brand and extract e-books from a script, over the same e-book document
// the window drives. Text crosses the terminal as UTF-8 and is stored in the book's code page.

#include <iosfwd>
#include <string>
#include <vector>

// Runs one command line (arguments without the program name); returns the exit status.
// Results go to out, one-line errors to err.
int RunCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
