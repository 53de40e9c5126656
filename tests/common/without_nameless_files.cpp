// without_nameless_files PROGRAM ARGS...: runs the program as on a file system without
// nameless files (O_TMPFILE fails); exit status 77 where that cannot be arranged.
#include "NoNamelessFiles.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2 || !DenyNamelessFiles())
    return 77;
  ::execvp(argv[1], argv + 1);
  std::perror(argv[1]);
  return 127;
}
