#include "platform/keyboard.h"

#if defined(_WIN32)
#include <conio.h>

void keyboard_open() {}

int keyboard_poll() { return _kbhit() ? _getch() : -1; }

void keyboard_close() {}

void keyboard_restore_in_signal_handler() {}

#else
#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int terminal = -1;     // the controlling terminal while open, else -1
termios saved_mode{};  // its mode when the process was first in the foreground
volatile sig_atomic_t mode_saved = 0;
volatile sig_atomic_t mode_changed = 0;  // the key mode is in force
struct sigaction previous_tstp {};
struct sigaction previous_cont {};

// Signals that end the process at once (an abort, a crash): the terminal is given back first.
constexpr int FATAL_SIGNALS[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int FATAL_SIGNAL_COUNT = sizeof FATAL_SIGNALS / sizeof FATAL_SIGNALS[0];
struct sigaction previous_fatal[FATAL_SIGNAL_COUNT];

bool in_foreground() { return tcgetpgrp(terminal) == getpgrp(); }

void apply_key_mode() {
  termios mode = saved_mode;
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(terminal, TCSANOW, &mode) == 0) mode_changed = 1;
}

// In the foreground only: a background process must not touch the terminal, and the mode it sees
// from there is the shell's own.
void take_key_mode() {
  if (mode_saved == 0) {
    if (tcgetattr(terminal, &saved_mode) != 0) return;
    mode_saved = 1;
  }
  apply_key_mode();
}

// Ctrl-Z: give the shell its terminal mode back while stopped, take the key mode again after.
void on_terminal_stop(int) {
  keyboard_restore_in_signal_handler();
  signal(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);
}

void on_continue(int) {
  struct sigaction stop {};
  stop.sa_handler = on_terminal_stop;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTSTP, &stop, nullptr);
  if (terminal >= 0 && mode_saved != 0 && in_foreground()) apply_key_mode();
}

}  // namespace

void keyboard_open() {
  if (terminal >= 0) return;
  terminal = open("/dev/tty", O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) return;
  if (!isatty(terminal)) {
    close(terminal);
    terminal = -1;
    return;
  }
  struct sigaction handler {};
  sigemptyset(&handler.sa_mask);
  handler.sa_handler = on_terminal_stop;
  sigaction(SIGTSTP, &handler, &previous_tstp);
  handler.sa_handler = on_continue;
  sigaction(SIGCONT, &handler, &previous_cont);
  handler.sa_handler = restore_terminal_and_reraise;
  handler.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int i = 0; i < FATAL_SIGNAL_COUNT; ++i) {
    sigaction(FATAL_SIGNALS[i], &handler, &previous_fatal[i]);
  }
  if (in_foreground()) take_key_mode();
}

int keyboard_poll() {
  if (terminal < 0 || !in_foreground()) return -1;
  // Brought to the foreground since the last look (a run started with &, or fg after bg).
  if (mode_changed == 0) take_key_mode();
  unsigned char key = 0;
  return read(terminal, &key, 1) == 1 ? key : -1;
}

void keyboard_close() {
  if (terminal < 0) return;
  sigaction(SIGTSTP, &previous_tstp, nullptr);
  sigaction(SIGCONT, &previous_cont, nullptr);
  for (int i = 0; i < FATAL_SIGNAL_COUNT; ++i) {
    sigaction(FATAL_SIGNALS[i], &previous_fatal[i], nullptr);
  }
  keyboard_restore_in_signal_handler();
  close(terminal);
  terminal = -1;
}

void keyboard_restore_in_signal_handler() {
  if (terminal >= 0 && mode_changed) {
    tcsetattr(terminal, TCSANOW, &saved_mode);
    mode_changed = 0;
  }
}

// The handler is reset on entry and the signal is not blocked in it, so the raise ends the process.
void restore_terminal_and_reraise(int signal_number) {
  keyboard_restore_in_signal_handler();
  raise(signal_number);
}
#endif
