#include "platform/stop_signals.h"

#include <csignal>

#include "platform/keyboard.h"

namespace {

volatile std::sig_atomic_t stop_received = 0;

void request_stop(int) { stop_received = 1; }

}  // namespace

#if defined(_WIN32)
// The console's Ctrl-C arrives as SIGINT; SIGBREAK stands for a closed console window.
namespace {
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGBREAK};
using Handler = void (*)(int);
Handler previous[3];
}  // namespace

void stop_signals_install(bool checkpoint_set) {
  stop_received = 0;
  for (int i = 0; i < 3; ++i) {
    previous[i] = std::signal(STOP_SIGNALS[i], checkpoint_set ? request_stop : SIG_DFL);
  }
}

void stop_signals_remove() {
  for (int i = 0; i < 3; ++i) std::signal(STOP_SIGNALS[i], previous[i]);
}

#else
namespace {
// Ctrl-C, termination, a closed terminal and Ctrl-\.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int STOP_SIGNAL_COUNT = sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0];
struct sigaction previous[STOP_SIGNAL_COUNT];
}  // namespace

void stop_signals_install(bool checkpoint_set) {
  stop_received = 0;
  struct sigaction handler {};
  sigemptyset(&handler.sa_mask);
  if (checkpoint_set) {
    handler.sa_handler = request_stop;
  } else {
    handler.sa_handler = restore_terminal_and_reraise;
    handler.sa_flags = SA_RESETHAND | SA_NODEFER;
  }
  for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) {
    sigaction(STOP_SIGNALS[i], nullptr, &previous[i]);
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (previous[i].sa_handler == SIG_IGN) continue;
    sigaction(STOP_SIGNALS[i], &handler, nullptr);
  }
}

void stop_signals_remove() {
  for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) sigaction(STOP_SIGNALS[i], &previous[i], nullptr);
}
#endif

bool stop_signal_received() { return stop_received != 0; }
