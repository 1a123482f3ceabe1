#include "platform/stop_signals.h"

#include <csignal>

#include "platform/keyboard.h"

namespace {

volatile std::sig_atomic_t stops_received = 0;  // counted up to 2

void count_stop() {
  if (stops_received < 2) stops_received = stops_received + 1;
}

}  // namespace

#if defined(_WIN32)
// The console's Ctrl-C arrives as SIGINT; SIGBREAK stands for a closed console window.
namespace {
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGBREAK};

// The handler is reset to the default before it runs, so it puts itself back for the next stop.
void request_stop(int signal_number) {
  std::signal(signal_number, request_stop);
  count_stop();
}
}  // namespace

void stop_signals_install(bool checkpoint_set) {
  stops_received = 0;
  for (int i = 0; i < 3; ++i) {
    std::signal(STOP_SIGNALS[i], checkpoint_set ? request_stop : SIG_DFL);
  }
}

void stop_signals_catch() {
  stops_received = 0;
  for (int i = 0; i < 3; ++i) std::signal(STOP_SIGNALS[i], request_stop);
}

#else
namespace {
// Ctrl-C, termination, a closed terminal and Ctrl-\.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int STOP_SIGNAL_COUNT = sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0];
struct sigaction previous[STOP_SIGNAL_COUNT];  // as the program found them

void request_stop(int) { count_stop(); }

// Puts `handler` in place for every stop signal the caller did not choose to ignore (nohup).
void handle_stop_signals(const struct sigaction& handler) {
  for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) {
    if (previous[i].sa_handler == SIG_IGN) continue;
    sigaction(STOP_SIGNALS[i], &handler, nullptr);
  }
}
}  // namespace

void stop_signals_install(bool checkpoint_set) {
  stops_received = 0;
  struct sigaction handler {};
  sigemptyset(&handler.sa_mask);
  if (checkpoint_set) {
    handler.sa_handler = request_stop;
    handler.sa_flags = SA_RESTART;  // a write it interrupts (to a pipe, a terminal) goes on
  } else {
    handler.sa_handler = restore_terminal_and_reraise;
    handler.sa_flags = SA_RESETHAND | SA_NODEFER;
  }
  for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) sigaction(STOP_SIGNALS[i], nullptr, &previous[i]);
  handle_stop_signals(handler);
}

void stop_signals_catch() {
  stops_received = 0;
  struct sigaction handler {};
  sigemptyset(&handler.sa_mask);
  handler.sa_handler = request_stop;
  handler.sa_flags = SA_RESTART;
  handle_stop_signals(handler);
}
#endif

bool stop_signal_received() { return stops_received != 0; }

int stop_signals_caught() { return stops_received; }
