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

int terminal = -1;           // the controlling terminal while open, else -1
termios saved_mode{};        // its mode before keyboard_open
volatile sig_atomic_t mode_changed = 0;
struct sigaction previous_tstp{};
struct sigaction previous_cont{};

bool in_foreground() { return tcgetpgrp(terminal) == getpgrp(); }

void apply_key_mode() {
  termios mode = saved_mode;
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(terminal, TCSANOW, &mode) == 0) mode_changed = 1;
}

// Ctrl-Z: give the shell its terminal mode back while stopped, take the key mode again after.
void on_terminal_stop(int) {
  keyboard_restore_in_signal_handler();
  signal(SIGTSTP, SIG_DFL);
  raise(SIGTSTP);
}

void on_continue(int) {
  struct sigaction stop{};
  stop.sa_handler = on_terminal_stop;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTSTP, &stop, nullptr);
  if (terminal >= 0 && in_foreground()) apply_key_mode();
}

}  // namespace

void keyboard_open() {
  if (terminal >= 0) return;
  terminal = open("/dev/tty", O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) return;
  // A background process must not touch the terminal: it would be stopped for it.
  if (!isatty(terminal) || !in_foreground() || tcgetattr(terminal, &saved_mode) != 0) {
    close(terminal);
    terminal = -1;
    return;
  }
  struct sigaction handler{};
  sigemptyset(&handler.sa_mask);
  handler.sa_handler = on_terminal_stop;
  sigaction(SIGTSTP, &handler, &previous_tstp);
  handler.sa_handler = on_continue;
  sigaction(SIGCONT, &handler, &previous_cont);
  apply_key_mode();
}

int keyboard_poll() {
  if (terminal < 0 || !in_foreground()) return -1;
  unsigned char key = 0;
  return read(terminal, &key, 1) == 1 ? key : -1;
}

void keyboard_close() {
  if (terminal < 0) return;
  sigaction(SIGTSTP, &previous_tstp, nullptr);
  sigaction(SIGCONT, &previous_cont, nullptr);
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
#endif
