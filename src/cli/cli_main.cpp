#include "cli/u_CommandLine.h"

#include <iostream>

int main(int argc, char** argv) {
  return RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
