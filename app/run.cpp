#include "app/run.h"

#include <cstdint>
#include <cstdio>

#include "app/messages.h"
#include "app/options.h"
#include "app/route.h"
#include "checkpoint/checkpoint_file.h"
#include "numbers/calc_state.h"
#include "output/elapsed.h"
#include "output/progress.h"
#include "output/result_writer.h"
#include "platform/clock.h"
#include "platform/keyboard.h"
#include "platform/process_start.h"
#include "platform/stop_signals.h"
#include "series/series.h"

namespace {

enum ExitStatus { EXIT_DONE = 0, EXIT_FAILED = 1 };

bool q_or_stop_signal() {
  bool q_pressed = keyboard_poll() == 'q';
  return q_pressed || stop_signal_received();
}

void advance_console_bar(void*, std::uint32_t value) { progress_update(value); }
constexpr ProgressSink CONSOLE_BAR{advance_console_bar, nullptr};

// The completion report and the second progress bar, before the result is written.
void report_completion(const RouteResult& result) {
  std::fputc('\n', stderr);
  write_message(stderr, MSG_FINISHED);
  write_max_n(stderr, result.final_index);
  write_message(stderr, MSG_ELAPSED);
  const TimeUnits units{message_text(UNIT_DAYS), message_text(UNIT_HOURS),
                        message_text(UNIT_MINUTES), message_text(UNIT_SECONDS)};
  report_elapsed(stderr, result.elapsed_ms, units);
  write_message(stderr, MSG_WRITING);
  progress_start(stderr, result.digits.positions);
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

bool second_stop_signal() { return stop_signals_caught() >= 2; }

// Writes the result of a completed computation. A first stop signal meanwhile lets the write
// finish (it is short next to the computation); a second ends it, with nothing half-written left
// in a result file.
int finish_completed(const RouteResult& result, const Destination& destination) {
  report_completion(result);
  return result_status(write_result(result.digits, destination.output_path,
                                    destination.standard_output_closed, second_stop_signal));
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

// Keys and stop signals are watched from before the computation until its state is saved, or its
// result written, so that a second Ctrl-C never kills a save and a first never cuts a result.
void start_watching_keys_and_signals(bool checkpoint_set) {
  keyboard_open();
  stop_signals_install(checkpoint_set);
}

void stop_watching_keys() {
  while (keyboard_poll() >= 0) {
    // Keys typed meanwhile are the run's, not the shell's.
  }
  keyboard_close();
}

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
  if (!set_up_route(settings, &route)) return EXIT_FAILED;
  const Destination destination{settings.output_path, closed.output};

  const bool checkpoint_set = settings.resume_path != nullptr;
  start_watching_keys_and_signals(checkpoint_set);
  write_message(stderr, MSG_CALCULATING);
  progress_start(stderr, static_cast<std::uint32_t>(words_for_positions(route.state.positions)));
  route.state.last_clock = clock_ms();
  SeriesControl control;
  control.checkpoint_set = checkpoint_set;
  control.read_clock = clock_ms;
  control.stop_requested = q_or_stop_signal;
  control.progress = CONSOLE_BAR;
  const RouteResult result = compute_route(&route, control);
  if (result.outcome == RouteOutcome::INTERRUPTED) {
    save_checkpoint(route.state, settings.resume_path);  // stop signals are still caught
  }
  if (result.outcome == RouteOutcome::COMPLETED) stop_signals_catch();
  stop_watching_keys();

  int status = EXIT_DONE;
  switch (result.outcome) {
    case RouteOutcome::COMPLETED:
      status = finish_completed(result, destination);
      break;
    case RouteOutcome::LIMIT:
      std::fputc('\n', stderr);
      write_message(stderr, MSG_LIMIT);
      status = EXIT_FAILED;
      break;
    case RouteOutcome::NO_MEMORY:
      write_message(stderr, MSG_NO_MEMORY);
      status = EXIT_FAILED;
      break;
    case RouteOutcome::INTERRUPTED:
      break;
  }
  // Stop signals stay caught to the end: one that comes after the write has nothing left to cut.
  release_route(&route);
  return status;
}
