// The program from its command line to its exit status.
#pragma once

// Scans the command line, sets up a fresh or resumed computation, runs it and ends it in one of
// its three ways. Returns the exit status: 0 after a written result or an interruption with a
// checkpoint (saved or not), 1 after the usage block, a corrupt checkpoint, a failed allocation,
// the iteration limit or a failed result write.
int run_program(int argc, char** argv);
