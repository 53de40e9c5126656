#include "cli/u_CommandLine.h"
#include "cli/u_ErrorLine.h"
#include "cli/u_ProgressLine.h"
#include "cli/u_WholeLineBuffer.h"

#include <iostream>
#include <unistd.h>

int main(int argc, char** argv) {
  // A line goes out whole in one write; standard error stops writing each piece of a line
  // on its own.
  TWholeLineBuffer out(STDOUT_FILENO), err(STDERR_FILENO);
  std::streambuf* const ownOut = std::cout.rdbuf(&out);
  std::streambuf* const ownErr = std::cerr.rdbuf(&err);
  std::cerr.unsetf(std::ios::unitbuf);
  // Books are read in the code page of the user's locale unless a command says another.
  int status = RunCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                              TConsole{std::cin, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1,
                                       ::isatty(STDOUT_FILENO) == 1, TerminalColumns(STDERR_FILENO),
                                       TerminalIsDumb()},
                              TCodePage::ForLocale());
  // Output that never arrived is a failure, not a success.
  if (!std::cout.flush() && status == 0) {
    std::cerr << ErrorLine({}, "cannot write to standard output");
    status = 1;
  }
  std::cerr.flush();
  std::cout.rdbuf(ownOut);
  std::cerr.rdbuf(ownErr);
  return status;
}
