#include "app/run.h"

#if defined(_WIN32)
// The MinGW start-up code expands wildcards in the arguments into matching file names, as the
// Windows console program does.
extern "C" {
int _dowildcard = -1;
}
#endif

int main(int argc, char** argv) { return run_program(argc, argv); }
