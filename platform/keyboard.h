// The console keyboard during the computation: keys are read one at a time, without echo and
// without waiting. On POSIX systems they come from the controlling terminal, whether or not
// standard input is redirected; without a terminal there are never any keys.
#pragma once

// Puts the terminal in non-canonical, no-echo mode until keyboard_close, whenever the process is in
// the foreground: at once, or at the first poll after it gets there (a run started with &, or
// brought back with fg). An abort or a crash restores the terminal before the process ends.
void keyboard_open();

// The next waiting key, consumed, or -1 when none is waiting. Never blocks.
int keyboard_poll();

// Restores the terminal as keyboard_open found it. Safe to call when nothing is open.
void keyboard_close();

// keyboard_close for a signal handler: async-signal-safe, leaves the descriptor open.
void keyboard_restore_in_signal_handler();

// A signal handler that restores the terminal, then ends the process as the signal would have.
// Install it with SA_RESETHAND | SA_NODEFER; it does only async-signal-safe work.
void restore_terminal_and_reraise(int signal_number);
