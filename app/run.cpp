#include "app/run.h"

#include <cstdio>

#include "app/messages.h"
#include "app/options.h"
#include "checkpoint/checkpoint_file.h"
#include "compute/series.h"
#include "output/elapsed.h"
#include "output/progress.h"
#include "output/result_writer.h"
#include "platform/clock.h"
#include "platform/keyboard.h"
#include "platform/stop_signals.h"

namespace {

enum ExitStatus { EXIT_DONE = 0, EXIT_FAILED = 1 };

bool q_or_stop_signal() {
  bool q_pressed = keyboard_poll() == 'q';
  return q_pressed || stop_signal_received();
}

// A fresh start, or a resume from the -r file when no digit count is given. A -r file that cannot
// be opened means a run of one digit position. Returns false after writing why the run cannot go on.
bool set_up(const RunSettings& settings, CalcState* state) {
  if (settings.digits == 0) {
    std::FILE* file = std::fopen(settings.resume_path, "rb");
    if (file != nullptr) return checkpoint_load(file, state, stderr);
  }
  if (!calc_start_fresh(state, settings.digits + 1, settings.format, settings.print_lead)) {
    write_message(stderr, MSG_NO_MEMORY);
    return false;
  }
  return true;
}

int finish_completed(CalcState* state, const RunSettings& settings) {
  scale_to_sqrt2(state, clock_ms());
  std::fputc('\n', stderr);
  write_message(stderr, MSG_FINISHED);
  write_max_n(stderr, state->next_n);
  write_message(stderr, MSG_ELAPSED);
  report_elapsed(stderr, state->elapsed_ms);
  write_message(stderr, MSG_WRITING);
  progress_start(stderr, state->digits);
  bool written = write_result(state, settings.output_path);
  calc_release(state);
  if (!written) {
    write_message(stderr, MSG_WRITE_FAILED);
    return EXIT_FAILED;
  }
  return EXIT_DONE;
}

}  // namespace

int run_program(int argc, char** argv) {
  console_set_encoding(console_encoding_for(stderr));
  RunSettings settings;
  if (!scan_options(argc, argv, &settings) ||
      (settings.digits == 0 && settings.resume_path == nullptr)) {
    write_message(stderr, MSG_USAGE);
    return EXIT_FAILED;
  }
  CalcState state;
  if (!set_up(settings, &state)) return EXIT_FAILED;

  const bool checkpoint_set = settings.resume_path != nullptr;
  keyboard_open();
  stop_signals_install(checkpoint_set);
  write_message(stderr, MSG_CALCULATING);
  progress_start(stderr, static_cast<std::uint32_t>(state.word_count));
  state.last_clock = clock_ms();
  SeriesControl control;
  control.checkpoint_set = checkpoint_set;
  control.read_clock = clock_ms;
  control.stop_requested = q_or_stop_signal;
  SeriesOutcome outcome = run_series(&state, control);

  if (outcome == SeriesOutcome::INTERRUPTED) {
    // Stop signals stay caught until the state is on disk.
    checkpoint_save(&state, settings.resume_path, stderr);
  }
  stop_signals_remove();
  keyboard_close();

  switch (outcome) {
    case SeriesOutcome::COMPLETED:
      return finish_completed(&state, settings);
    case SeriesOutcome::LIMIT:
      std::fputc('\n', stderr);
      write_message(stderr, MSG_LIMIT);
      calc_release(&state);
      return EXIT_FAILED;
    case SeriesOutcome::INTERRUPTED:
      break;
  }
  calc_release(&state);
  return EXIT_DONE;
}
