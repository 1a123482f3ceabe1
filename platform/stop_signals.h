// Ctrl-C, termination, hang-up and Ctrl-\ during a run. During the computation, with a checkpoint
// path they ask the run to stop and save, as the q key does; without one they end the program as
// usual, after the terminal mode has been restored. The handlers stay to the program's end.
#pragma once

void stop_signals_install(bool checkpoint_set);

// True once a stop signal arrived while a checkpoint path was set (or since the last
// stop_signals_catch).
bool stop_signal_received();

// From here on, stop signals are caught and counted whether or not a checkpoint path is set, the
// count starting again from zero: for the result's write, which a first stop lets finish and a
// second ends. Only after stop_signals_install.
void stop_signals_catch();

// The stop signals caught since the last install or catch, counted up to 2.
int stop_signals_caught();
