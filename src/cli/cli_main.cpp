#include "cli/u_CommandLine.h"

#include <iostream>
#include <unistd.h>

int main(int argc, char** argv) {
  return RunCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                        TConsole{std::cin, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1,
                                 ::isatty(STDOUT_FILENO) == 1});
}
