#include "app/run.h"

#include <cstdio>

#include "app/messages.h"
#include "app/options.h"
#include "checkpoint/checkpoint_file.h"
#include "compute/series.h"
#if defined(TINDERMOSS_HAVE_DIRECT_ROOT)
#include "compute/direct_root.h"
#endif
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

// The completion report and the second progress bar, before the result is written.
void report_completion(const CalcState* state) {
  std::fputc('\n', stderr);
  write_message(stderr, MSG_FINISHED);
  write_max_n(stderr, state->next_n);
  write_message(stderr, MSG_ELAPSED);
  report_elapsed(stderr, state->elapsed_ms);
  write_message(stderr, MSG_WRITING);
  progress_start(stderr, state->digits);
}

int result_status(bool written) {
  if (written) return EXIT_DONE;
  write_message(stderr, MSG_WRITE_FAILED);
  return EXIT_FAILED;
}

int finish_completed(CalcState* state, const RunSettings& settings) {
  scale_to_sqrt2(state, clock_ms());
  report_completion(state);
  bool written = write_result(state, settings.output_path);
  calc_release(state);
  return result_status(written);
}

void stop_watching_keys_and_signals() {
  stop_signals_remove();
  keyboard_close();
}

#if defined(TINDERMOSS_HAVE_DIRECT_ROOT)
// A run without a checkpoint file can never be interrupted, so its result may come from GMP
// instead of the series, with the same bytes. Returns false, with the state's numbers allocated
// again, when the series must run after all.
bool try_direct_route(CalcState* state, const RunSettings& settings, int* status) {
  calc_release(state);  // the route needs none of the series' numbers
  DirectRoot root;
  if (!compute_direct_root(state->digits, static_cast<std::uint32_t>(state->word_count), &root)) {
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
  state->next_n = root.final_n;
  report_completion(state);
  bool written = write_result_chars(root.digit_chars, state->digits, state->format,
                                    state->print_lead, settings.output_path);
  release_direct_root(&root);
  *status = result_status(written);
  return true;
}
#endif

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
#if defined(TINDERMOSS_HAVE_DIRECT_ROOT)
  int status = EXIT_DONE;
  if (!checkpoint_set && try_direct_route(&state, settings, &status)) {
    stop_watching_keys_and_signals();
    return status;
  }
#endif
  SeriesControl control;
  control.checkpoint_set = checkpoint_set;
  control.read_clock = clock_ms;
  control.stop_requested = q_or_stop_signal;
  SeriesOutcome outcome = run_series(&state, control);

  if (outcome == SeriesOutcome::INTERRUPTED) {
    // Stop signals stay caught until the state is on disk.
    checkpoint_save(&state, settings.resume_path, stderr);
  }
  stop_watching_keys_and_signals();

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
