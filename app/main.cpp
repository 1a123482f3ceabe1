#include "app/run.h"

#if defined(_WIN32)
#include <cstdio>

// The MinGW start-up code expands wildcards in the arguments into matching file names, as the
// Windows console program does.
extern "C" {
int _dowildcard = -1;
}
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The runtime buffers standard error when it is a pipe or a file; the texts and the progress
  // bar go out as they are written, as on a console and on Linux.
  std::setvbuf(stderr, nullptr, _IONBF, 0);
#endif
  return run_program(argc, argv);
}
