// Ctrl-C, termination, hang-up and Ctrl-\ during the computation. With a checkpoint path they ask
// the run to stop and save, as the q key does; without one they end the program as usual, after the
// terminal mode has been restored.
#pragma once

void stop_signals_install(bool checkpoint_set);

// True once a stop signal arrived while a checkpoint path was set.
bool stop_signal_received();

// Puts back the handlers that were in place before stop_signals_install.
void stop_signals_remove();
