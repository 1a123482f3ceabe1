#include "app/run.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#include "app/messages.h"
#include "app/options.h"
#include "checkpoint/checkpoint_file.h"
#include "numbers/calc_state.h"
#include "numbers/digit_positions.h"
#if defined(TINDERMOSS_HAVE_BIGNUM)
#include "bignum/direct_root.h"
#include "bignum/reachable_state_exact.h"
#include "bignum/split_series.h"
#endif
#include "output/elapsed.h"
#include "output/progress.h"
#include "output/result_writer.h"
#include "platform/clock.h"
#include "platform/keyboard.h"
#include "platform/process_start.h"
#include "platform/stop_signals.h"
#include "series/reachable_state.h"
#include "series/series.h"

namespace {

enum ExitStatus { EXIT_DONE = 0, EXIT_FAILED = 1 };

bool q_or_stop_signal() {
  bool q_pressed = keyboard_poll() == 'q';
  return q_pressed || stop_signal_received();
}

void advance_console_bar(void*, std::uint32_t value) { progress_update(value); }
constexpr ProgressSink CONSOLE_BAR{advance_console_bar, nullptr};

// How the result is computed: the series, or (for a fresh run without a checkpoint file, which can
// never be interrupted) directly with GMP, with the same bytes. With a checkpoint file, large runs
// take the series by blocks in binary, with the same states.
struct Route {
  CalcState state;
#if defined(TINDERMOSS_HAVE_BIGNUM)
  DirectRoot direct;
  SplitSeries split;
#endif
  bool direct_taken = false;
  bool split_taken = false;
};

// Whether a loaded state is one a run can have saved; any other would give wrong digits.
bool reachable(const CalcState& state) {
  if (!series_state_plausible(state)) return false;
#if defined(TINDERMOSS_HAVE_BIGNUM)
  if (!series_state_reachable(state)) return false;
#endif
  return true;
}

bool resume(std::FILE* file, CalcState* state) {
  switch (checkpoint_load(file, state)) {
    case LoadStatus::LOADED:
      if (reachable(*state)) return true;
      calc_release(state);
      write_message(stderr, MSG_CORRUPT);
      return false;
    case LoadStatus::CORRUPT:
      write_message(stderr, MSG_CORRUPT);
      return false;
    case LoadStatus::NO_MEMORY:
      break;
  }
  write_message(stderr, MSG_NO_MEMORY);
  return false;
}

// The series by blocks for a run with a checkpoint file, when it is large enough and its memory is
// there; the sweep engine otherwise. Always true: either engine can run.
bool choose_series_engine(Route* route) {
#if defined(TINDERMOSS_HAVE_BIGNUM)
  const CalcState& state = route->state;
  route->split_taken =
      state.digits >= SPLIT_SERIES_MIN_POSITIONS && start_split_series(state, &route->split);
#else
  (void)route;
#endif
  return true;
}

// A fresh start, or a resume from the -r file when no digit count is given; a -r file that cannot
// be opened means a run of one digit position. The direct route is chosen before the series'
// numbers would be allocated, and they are allocated only when it is not. Returns false after
// writing why the run cannot go on.
bool set_up(const RunSettings& settings, Route* route) {
  if (settings.digits == 0) {
    std::FILE* file = std::fopen(settings.resume_path, "rb");
    if (file != nullptr) return resume(file, &route->state) && choose_series_engine(route);
  }
  CalcState* state = &route->state;
  state->digits = positions_for_request(settings.digits);
  state->format = settings.format;
  state->print_lead = settings.print_lead;
#if defined(TINDERMOSS_HAVE_BIGNUM)
  route->direct_taken =
      settings.resume_path == nullptr && start_direct_root(state->digits, &route->direct);
  if (route->direct_taken) return true;
#endif
  if (!calc_start_fresh(state, state->digits, state->format, state->print_lead)) {
    write_message(stderr, MSG_NO_MEMORY);
    return false;
  }
  return settings.resume_path == nullptr || choose_series_engine(route);
}

// The completion report and the second progress bar, before the result is written.
void report_completion(const CalcState& state) {
  std::fputc('\n', stderr);
  write_message(stderr, MSG_FINISHED);
  write_max_n(stderr, state.next_n);
  write_message(stderr, MSG_ELAPSED);
  const TimeUnits units{message_text(UNIT_DAYS), message_text(UNIT_HOURS),
                        message_text(UNIT_MINUTES), message_text(UNIT_SECONDS)};
  report_elapsed(stderr, state.elapsed_ms, units);
  write_message(stderr, MSG_WRITING);
  progress_start(stderr, state.digits);
}

int result_status(bool written) {
  if (written) return EXIT_DONE;
  write_message(stderr, MSG_WRITE_FAILED);
  return EXIT_FAILED;
}

// Where a run's result goes.
struct Destination {
  const char* output_path = nullptr;
  bool standard_output_closed = false;
};

// Writes the result of a completed computation whose digits come from `digits`.
int finish_completed(const CalcState& state, ResultDigits digits, const Destination& destination) {
  report_completion(state);
  digits.positions = state.digits;
  digits.format = state.format;
  digits.print_lead = state.print_lead;
  return result_status(
      write_result(digits, destination.output_path, destination.standard_output_closed));
}

void save_checkpoint(const CalcState& state, const char* path) {
  std::fputc('\n', stderr);  // ends the progress bar's line
  switch (checkpoint_save(&state, path)) {
    case SaveStatus::SAVED:
      write_message(stderr, MSG_SAVED);
      return;
    case SaveStatus::OPEN_FAILED:
      write_message(stderr, MSG_OPEN_FAILED);
      break;
    case SaveStatus::WRITE_FAILED:
      write_message(stderr, MSG_WRITE_FAILED);
      break;
  }
  write_message(stderr, MSG_STATE_LOST);
}

void stop_watching_keys_and_signals() {
  stop_signals_remove();
  keyboard_close();
}

#if defined(TINDERMOSS_HAVE_BIGNUM)
// The direct route, taken at set-up. Returns false, with the series' numbers allocated, when the
// series must run after all.
bool finish_direct_route(Route* route, const Destination& destination, int* status) {
  CalcState* state = &route->state;
  if (!compute_direct_root(&route->direct, CONSOLE_BAR,
                           static_cast<std::uint32_t>(words_for_digits(state->digits)))) {
    if (calc_start_fresh(state, state->digits, state->format, state->print_lead)) return false;
    write_message(stderr, MSG_NO_MEMORY);
    *status = EXIT_FAILED;
    return true;
  }
  while (keyboard_poll() >= 0) {
    // Keys typed meanwhile are consumed, as the series loop would have.
  }
  stop_watching_keys_and_signals();
  calc_account_time(state, clock_ms());
  state->next_n = route->direct.final_n;
  ResultDigits digits;
  digits.chars = route->direct.digit_chars;
  *status = finish_completed(*state, digits, destination);
  release_direct_root(&route->direct);
  return true;
}

bool stop_raised(void* context) {
  return static_cast<const std::atomic<bool>*>(context)->load(std::memory_order_relaxed);
}

// The series by blocks on a thread of its own, while this one watches the keys and the stop
// signals, draws the bar and keeps the clock. Returns false, with the engine released, when no
// thread can be had; the sweep engine must then run.
bool run_split_route(Route* route, SeriesOutcome* outcome) {
  CalcState* state = &route->state;
  std::atomic<bool> stop{false};
  SplitSignals signals;
  signals.stop = StopCheck{stop_raised, &stop};
  std::mutex lock;
  std::condition_variable changed;
  bool finished = false;
  std::thread worker;
  try {
    worker = std::thread([&] {
      const SeriesOutcome result = run_split_series(&route->split, state, &signals);
      std::lock_guard<std::mutex> hold(lock);
      *outcome = result;
      finished = true;
      changed.notify_one();
    });
  } catch (const std::exception&) {
    release_split_series(&route->split);
    return false;
  }
  constexpr std::chrono::milliseconds WATCH_INTERVAL{30};
  std::unique_lock<std::mutex> hold(lock);
  while (!changed.wait_for(hold, WATCH_INTERVAL, [&finished] { return finished; })) {
    hold.unlock();
    if (q_or_stop_signal()) stop.store(true);
    progress_update(split_progress(route->split, signals));
    calc_account_time(state, clock_ms());
    hold.lock();
  }
  hold.unlock();
  worker.join();
  progress_update(static_cast<std::uint32_t>(state->first_nonzero));
  calc_account_time(state, clock_ms());
  return true;
}
#endif

}  // namespace

int run_program(int argc, char** argv) {
  const ClosedStandardStreams closed = occupy_closed_standard_streams();
  ignore_file_size_limit_signal();
  console_set_encoding(console_encoding_for(stderr));
  RunSettings settings;
  if (!scan_options(argc, argv, &settings) ||
      (settings.digits == 0 && settings.resume_path == nullptr)) {
    write_message(stderr, MSG_USAGE);
    return EXIT_FAILED;
  }
  Route route;
  if (!set_up(settings, &route)) return EXIT_FAILED;
  CalcState& state = route.state;
  const Destination destination{settings.output_path, closed.output};

  const bool checkpoint_set = settings.resume_path != nullptr;
  keyboard_open();
  stop_signals_install(checkpoint_set);
  write_message(stderr, MSG_CALCULATING);
  progress_start(stderr, static_cast<std::uint32_t>(words_for_digits(state.digits)));
  state.last_clock = clock_ms();
  int status = EXIT_DONE;
#if defined(TINDERMOSS_HAVE_BIGNUM)
  if (route.direct_taken && finish_direct_route(&route, destination, &status)) {
    stop_watching_keys_and_signals();
    return status;
  }
#endif
  SeriesControl control;
  control.checkpoint_set = checkpoint_set;
  control.read_clock = clock_ms;
  control.stop_requested = q_or_stop_signal;
  control.progress = CONSOLE_BAR;
  SeriesOutcome outcome = SeriesOutcome::COMPLETED;
#if defined(TINDERMOSS_HAVE_BIGNUM)
  if (!route.split_taken || !run_split_route(&route, &outcome)) outcome = run_series(&state, control);
#else
  outcome = run_series(&state, control);
#endif

  if (outcome == SeriesOutcome::INTERRUPTED) {
    // Stop signals stay caught until the state is on disk.
    save_checkpoint(state, settings.resume_path);
  }
  stop_watching_keys_and_signals();

  switch (outcome) {
    case SeriesOutcome::COMPLETED: {
      scale_to_sqrt2(&state, clock_ms());
      ResultDigits digits;
      digits.words = state.sum;
      status = finish_completed(state, digits, destination);
      break;
    }
    case SeriesOutcome::LIMIT:
      std::fputc('\n', stderr);
      write_message(stderr, MSG_LIMIT);
      status = EXIT_FAILED;
      break;
    case SeriesOutcome::INTERRUPTED:
      break;
  }
  calc_release(&state);
  return status;
}
